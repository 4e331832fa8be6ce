// The digest caches' find and append.
#include <gtest/gtest.h>

#include "checks/caches.h"

using ondrel::DigestCache;

TEST(DigestCache, EmptyFindsNothing) { EXPECT_FALSE(DigestCache().Find("a").has_value()); }

TEST(DigestCache, KeysIgnoreCaseAndFirstMatchWins) {
    DigestCache cache;
    cache.Append("C:\\Dir\\File.exe", "FIRST");
    cache.Append("c:\\dir\\file.EXE", "SECOND");
    EXPECT_EQ(cache.Find("C:\\DIR\\FILE.EXE").value(), "FIRST");
    EXPECT_EQ(cache.Find("c:\\dir\\file.exe").value(), "FIRST");
    EXPECT_FALSE(cache.Find("c:\\dir\\file.ex").has_value());
    EXPECT_FALSE(cache.Find("c:\\dir\\file.exe ").has_value());
    EXPECT_EQ(cache.Size(), 2u);
}

TEST(DigestCache, AnsiLettersBeyondAsciiIgnoreCase) {
    DigestCache cache;
    cache.Append("\xe9t\xe9.txt", "D");  // été in Windows-1252
    EXPECT_EQ(cache.Find("\xc9T\xc9.TXT").value(), "D");
}

TEST(DigestCache, EmptyDigestIsStoredAndFound) {
    DigestCache cache;
    cache.Append("f", "");
    ASSERT_TRUE(cache.Find("F").has_value());
    EXPECT_EQ(cache.Find("F").value(), "");
}

TEST(DigestCache, KeyIsTextBeforeFirstEquals) {
    DigestCache cache;
    cache.Append("a=b.txt", "D1");
    // The whole name does not find its own entry ...
    EXPECT_FALSE(cache.Find("a=b.txt").has_value());
    // ... and a name equal to the part before "=" takes the rest as its digest.
    EXPECT_EQ(cache.Find("A").value(), "b.txt=D1");
}

TEST(CachedDigest, ComputesOncePerName) {
    DigestCache cache;
    int computed = 0;
    auto compute = [&] {
        std::string digest = "D";
        digest += std::to_string(++computed);
        return digest;
    };
    EXPECT_EQ(ondrel::CachedDigest(cache, "File", compute), "D1");
    EXPECT_EQ(ondrel::CachedDigest(cache, "FILE", compute), "D1");
    EXPECT_EQ(ondrel::CachedDigest(cache, "other", compute), "D2");
    // A name with "=" never finds its own entry and is computed each time.
    EXPECT_EQ(ondrel::CachedDigest(cache, "x=y", compute), "D3");
    EXPECT_EQ(ondrel::CachedDigest(cache, "x=y", compute), "D4");
    EXPECT_EQ(cache.Size(), 4u);
}

TEST(Caches, ProcessWideAndIndependent) {
    ondrel::FileDigestCache().Append("caches-test-name", "F");
    EXPECT_EQ(ondrel::FileDigestCache().Find("CACHES-TEST-NAME").value(), "F");
    EXPECT_FALSE(ondrel::SectionDigestCache().Find("caches-test-name").has_value());
}
