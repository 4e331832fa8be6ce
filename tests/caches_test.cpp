// The digest caches' find and append.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "checks/caches.h"
#include "ondrel.h"
#include "platform/text.h"
#include "tests/support/test_files.h"

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

TEST(CachedDigest, NameAppendedMeanwhileByAnOverlappingCall) {
    // The overlapping call appends while this one digests: the cache keeps
    // the first entry for a name, and this call answers its own digest.
    struct Case {
        const char* name;
        const char* other;   // the name the overlapping call appends
        std::size_t size;    // entries afterwards
        const char* stored;  // what a find of the name's key gives afterwards
    };
    const Case cases[] = {
        {"File", "FILE", 1, "OTHER"},        // the same name: not appended again
        {"File", "Else", 2, "MINE"},         // another name: appended
        {"x=y", "x=y", 2, "y=OTHER"},        // never found under its own name: appended again
        {"x=y", "X", 2, "OTHER"},            // its key appended meanwhile: the earlier entry wins
        {"", "", 1, "OTHER"},                // the empty name is a name like any other
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + c.other);
        DigestCache cache;
        const std::string got = ondrel::CachedDigest(cache, c.name, [&] {
            cache.Append(c.other, "OTHER");
            return std::string("MINE");
        });
        EXPECT_EQ(got, "MINE");
        EXPECT_EQ(cache.Size(), c.size);
        const std::string name = c.name;
        EXPECT_EQ(cache.Find(name.substr(0, name.find('='))).value(), c.stored);
    }
}

namespace {

// Bytes of the single-byte page that names are made of: ASCII letters,
// digits and marks, "=", letters above 127 in both cases, and signs that
// sort specially (hyphen, apostrophe, soft hyphen, ligatures, sharp s).
const std::string kNameBytes =
    "aAbBeEsSzZ09.-' =\\\xE9\xC9\xE0\xC0\xE6\xC6\xDF\x9A\x8A\x9C\x8C\xFF\x9F\xF8\xD8\xAD\xB5\xF7\xD7";

// The other case of a byte of the page where it has one.
char OtherCase(char c) {
    const std::string small = "abesz\xE9\xE0\xE6\x9A\x9C\xFF\xF8";
    const std::string large = "ABESZ\xC9\xC0\xC6\x8A\x8C\x9F\xD8";
    if (std::size_t i = small.find(c); i != std::string::npos) return large[i];
    if (std::size_t i = large.find(c); i != std::string::npos) return small[i];
    return c;
}

// The cache as a plain list searched from its first entry.
struct LinearCache {
    std::vector<std::string> entries;
    std::optional<std::string> Find(const std::string& name) const {
        for (const std::string& entry : entries) {
            const std::size_t equals = entry.find('=');
            if (equals == std::string::npos) continue;
            if (ondrel::platform::SameTextIgnoringCase(entry.substr(0, equals), name)) return entry.substr(equals + 1);
        }
        return std::nullopt;
    }
};

}  // namespace

TEST(TextKey, KeysAreEqualExactlyWhenTextsAreEqualIgnoringCase) {
    // Every text of up to one byte, every text of two bytes of the name
    // bytes, and longer texts beside copies of them in the other case.
    std::vector<std::string> texts{""};
    for (int c = 1; c < 256; ++c) texts.emplace_back(1, static_cast<char>(c));
    for (char a : kNameBytes)
        for (char b : kNameBytes) texts.push_back({a, b});
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        std::string text;
        for (std::size_t n = 3 + random() % 6; n > 0; --n) text += kNameBytes[random() % kNameBytes.size()];
        std::string flipped = text;
        for (char& c : flipped)
            if (random() % 2) c = OtherCase(c);
        texts.push_back(text);
        texts.push_back(flipped);
    }
    std::vector<std::string> keys;
    for (const std::string& text : texts) keys.push_back(ondrel::platform::TextKeyIgnoringCase(text));
    int equalPairs = 0;
    for (std::size_t i = 0; i < texts.size(); ++i)
        for (std::size_t j = i; j < texts.size(); ++j) {
            const bool same = ondrel::platform::SameTextIgnoringCase(texts[i], texts[j]);
            equalPairs += same && i != j;
            if (same != (keys[i] == keys[j]))
                ADD_FAILURE() << "texts " << ::testing::PrintToString(texts[i]) << " and "
                              << ::testing::PrintToString(texts[j]) << ": equal " << same;
        }
    // The pairs that differ only in case are found equal.
    EXPECT_GT(equalPairs, 200);
    RecordProperty("texts", static_cast<int>(texts.size()));
    RecordProperty("equal_pairs", equalPairs);
}

TEST(DigestCache, IndexAnswersAsALinearSearch) {
    for (unsigned round = 1; round <= 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::mt19937 random(round);
        auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
        std::vector<std::string> used;
        auto name = [&] {
            const std::size_t how = used.empty() ? 0 : pick(6);
            if (how == 0 || how == 1) {  // a new name, empty now and then
                std::string text;
                for (std::size_t n = pick(5); n > 0; --n) text += kNameBytes[pick(kNameBytes.size())];
                return text;
            }
            std::string text = used[pick(used.size())];
            if (how == 2) return text.substr(0, text.find('='));   // the key of an earlier name
            if (how == 3) return text + "=" + kNameBytes[pick(kNameBytes.size())];  // an earlier name and more
            for (char& c : text)  // an earlier name in other letter cases
                if (pick(2)) c = OtherCase(c);
            return text;
        };
        DigestCache cache;
        LinearCache linear;
        for (int step = 0; step < 1500; ++step) {
            const std::string fileName = name();
            used.push_back(fileName);
            std::string digest = std::to_string(step);
            if (pick(4) == 0) digest += "=x";
            switch (pick(3)) {
                case 0:
                    cache.Append(fileName, digest);
                    linear.entries.push_back(fileName + "=" + digest);
                    break;
                case 1: {
                    const bool missing = !linear.Find(fileName);
                    if (missing) linear.entries.push_back(fileName + "=" + digest);
                    ASSERT_EQ(cache.AppendIfMissing(DigestCache::Name(fileName), digest), missing)
                        << ::testing::PrintToString(fileName);
                    break;
                }
                default:
                    ASSERT_EQ(cache.Find(fileName), linear.Find(fileName)) << ::testing::PrintToString(fileName);
            }
            ASSERT_EQ(cache.Size(), linear.entries.size());
        }
        // Every name used, found or not, once more at the end.
        for (const std::string& fileName : used)
            ASSERT_EQ(cache.Find(fileName), linear.Find(fileName)) << ::testing::PrintToString(fileName);
    }
}

TEST(Caches, ResetForTestsForgetsEveryEntry) {
    ondrel::testing::TempDir dir;
    const std::string file = dir.Write("f.bin", "abc");
    const std::string abc = "MD5=900150983CD24FB0D6963F7D28E17F72";
    const std::string abcd = "MD5=E2FC714C4727EE9395F324CD2E7F331F";
    EXPECT_EQ(AdvancedCheck(file.c_str(), abc.c_str()), 1);
    dir.Write("f.bin", "abcd");
    EXPECT_EQ(AdvancedCheck(file.c_str(), abc.c_str()), 1);  // the first digest stays
    ondrel::ResetCachesForTests();
    EXPECT_EQ(ondrel::FileDigestCache().Size(), 0u);
    EXPECT_EQ(AdvancedCheck(file.c_str(), abcd.c_str()), 1);
    EXPECT_EQ(AdvancedCheck(file.c_str(), abc.c_str()), 0);
}
