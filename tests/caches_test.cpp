// The digest caches: a digest answers only for the file it was computed
// from, so the caches change the speed of a call and never its answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "checks/caches.h"
#include "ondrel.h"
#include "platform/reader.h"
#include "platform/text.h"
#include "tests/support/digests.h"
#include "tests/support/test_files.h"

using ondrel::DigestCache;
using ondrel::platform::FileIdentity;

namespace {

FileIdentity Identity(std::uint64_t index, std::uint64_t size = 10) {
    FileIdentity id;
    id.volume = 1;
    id.index = index;
    id.size = size;
    id.modified = 1000;
    return id;
}

#ifdef _WIN32
constexpr bool kNamesIgnoreCase = true;
#else
constexpr bool kNamesIgnoreCase = false;
#endif

// While it lives, every read of a file fails: a rule that answers as it
// did before took its digest from a cache.
struct NoReads {
    NoReads() { ondrel::platform::FailReadsAfter(0); }
    ~NoReads() { ondrel::platform::StopFailingReads(); }
};

std::string Md5Rule(const std::string& bytes) { return "MD5=" + ondrel::testing::DigestOfBytes(bytes); }

}  // namespace

TEST(DigestCache, FindsOnlyForTheSameNameAndIdentity) {
    DigestCache cache;
    EXPECT_FALSE(cache.Find("a", Identity(1)));
    cache.Store("dir/File.bin", Identity(1), "D1");
    struct Case {
        const char* name;
        FileIdentity identity;
        std::optional<std::string> found;
    };
    const Case cases[] = {
        {"dir/File.bin", Identity(1), "D1"},
        {"dir/File.bin", Identity(2), std::nullopt},      // another file under the name
        {"dir/File.bin", Identity(1, 11), std::nullopt},  // the same file, changed
        {"dir/FILE.BIN", Identity(1), kNamesIgnoreCase ? std::optional<std::string>("D1") : std::nullopt},
        {"dir/File.bi", Identity(1), std::nullopt},
        {"dir/File.bin ", Identity(1), std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(cache.Find(c.name, c.identity), c.found) << c.name;
}

TEST(DigestCache, KeyIsTheWholeNameEqualsIncluded) {
    DigestCache cache;
    cache.Store("a=b", Identity(1), "D1");
    EXPECT_EQ(cache.Find("a=b", Identity(1)), "D1");
    EXPECT_FALSE(cache.Find("a", Identity(1)));
    cache.Store("a", Identity(1), "D2");
    EXPECT_EQ(cache.Find("a=b", Identity(1)), "D1");
    EXPECT_EQ(cache.Find("a", Identity(1)), "D2");
}

TEST(DigestCache, StoreReplacesAndAnswersAsAMap) {
    // Random stores and finds against a map keyed by the platform's name key.
    const std::string letters = "aAbB=\xE9\xC9";
    for (unsigned round = 1; round <= 6; ++round) {
        std::mt19937 random(round);
        DigestCache cache;
        std::map<std::string, std::pair<FileIdentity, std::string>> model;
        for (int step = 0; step < 2000; ++step) {
            std::string name;
            for (std::size_t n = random() % 4; n > 0; --n) name += letters[random() % letters.size()];
            const FileIdentity id = Identity(random() % 3);
            const std::string key = ondrel::platform::FileNameKey(name);
            if (random() % 2) {
                const std::string digest = std::to_string(step);
                cache.Store(name, id, digest);
                model[key] = {id, digest};
            } else {
                const auto found = model.find(key);
                const std::optional<std::string> expected =
                    found != model.end() && found->second.first == id ? std::optional(found->second.second)
                                                                        : std::nullopt;
                ASSERT_EQ(cache.Find(name, id), expected) << ::testing::PrintToString(name);
            }
        }
    }
}

TEST(CachedDigest, StoresOnlyADigestReadWhollyFromTheFileTheNameLedTo) {
    ondrel::testing::TempDir dir;
    const std::string file = dir.WriteAged("f.bin", "abc");
    const FileIdentity now = ondrel::platform::IdentityOf(file).value();
    FileIdentity other = now;
    ++other.size;
    struct Case {
        const char* name;
        std::optional<FileIdentity> readFrom;
        bool stored;
    };
    const Case cases[] = {
        {"read whole", now, true},
        {"read in part, or failed", std::nullopt, false},
        {"another file read", other, false},
    };
    for (const Case& c : cases) {
        DigestCache cache;
        int computed = 0;
        auto compute = [&] {
            ++computed;
            return ondrel::ComputedDigest{"D", c.readFrom};
        };
        EXPECT_EQ(ondrel::CachedDigest(&cache, file, compute), "D") << c.name;
        EXPECT_EQ(ondrel::CachedDigest(&cache, file, compute), "D") << c.name;
        EXPECT_EQ(computed, c.stored ? 1 : 2) << c.name;
    }
    // Without a cache every call computes.
    int computed = 0;
    auto compute = [&] {
        ++computed;
        return ondrel::ComputedDigest{"D", now};
    };
    ondrel::CachedDigest(nullptr, file, compute);
    ondrel::CachedDigest(nullptr, file, compute);
    EXPECT_EQ(computed, 2);
}

TEST(CachedDigest, AFileWrittenWithinTwoSecondsIsNotStored) {
    ondrel::testing::TempDir dir;
    const std::string fresh = dir.Write("fresh.bin", "abc");
    const std::string settled = dir.WriteAged("settled.bin", "abc", 3);
    for (const auto& [name, stored] : {std::pair{fresh, false}, std::pair{settled, true}}) {
        const std::string file = name;
        DigestCache cache;
        int computed = 0;
        auto compute = [&] {
            ++computed;
            return ondrel::ComputedDigest{"D", ondrel::platform::IdentityOf(file)};
        };
        ondrel::CachedDigest(&cache, file, compute);
        ondrel::CachedDigest(&cache, file, compute);
        EXPECT_EQ(computed, stored ? 1 : 2) << file;
    }
}

// Through the library: every call answers as it would without the caches.
class CachesThroughTheLibrary : public ::testing::Test {
protected:
    void SetUp() override { ondrel::ResetCachesForTests(); }
    void TearDown() override { ondrel::ResetCachesForTests(); }
    ondrel::testing::TempDir dir;
};

TEST_F(CachesThroughTheLibrary, ADigestIsKeptWhileTheFileIsUnchanged) {
    const std::string file = dir.WriteAged("f.bin", "abc");
    ASSERT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abc").c_str()), 1);
    NoReads noReads;
    EXPECT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abc").c_str()), 1);
}

TEST_F(CachesThroughTheLibrary, AChangedDeletedCreatedOrReplacedFileIsDigestedAgain) {
    const std::string name = dir.File("f.bin");
    const std::string replacement = dir.WriteAged("g.bin", "wxyz");
    struct Step {
        const char* what;
        std::function<void()> change;
        const char* holds;  // the content whose digest holds now; null: none, the file is missing
    };
    const Step steps[] = {
        {"created", [&] { dir.WriteAged("f.bin", "abc"); }, "abc"},
        {"rewritten, same size", [&] { dir.WriteAged("f.bin", "abd", 7200); }, "abd"},
        {"rewritten, other size", [&] { dir.WriteAged("f.bin", "abcdef"); }, "abcdef"},
        {"renamed over", [&] { std::filesystem::rename(replacement, name); }, "wxyz"},
        {"deleted", [&] { std::filesystem::remove(name); }, nullptr},
        {"created again", [&] { dir.WriteAged("f.bin", "abc"); }, "abc"},
    };
    const std::string kNoBytes = ondrel::testing::DigestOfBytes("");
    for (const Step& step : steps) {
        step.change();
        const std::string expected = step.holds ? Md5Rule(step.holds) : "MD5=" + kNoBytes;
        EXPECT_EQ(AdvancedCheck(name.c_str(), expected.c_str()), 1) << step.what;
        for (const char* before : {"abc", "abd", "abcdef", "wxyz"})
            if (!step.holds || std::string(before) != step.holds) {
                EXPECT_EQ(AdvancedCheck(name.c_str(), Md5Rule(before).c_str()), 0) << step.what << " / " << before;
            }
    }
}

#ifndef _WIN32
TEST_F(CachesThroughTheLibrary, ARewriteThatKeepsSizeAndTimesIsSeenByItsChangeTime) {
    const std::string file = dir.WriteAged("f.bin", "abc");
    ASSERT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abc").c_str()), 1);
    const auto written = std::filesystem::last_write_time(file);
    dir.Write("f.bin", "abd");
    std::filesystem::last_write_time(file, written);
    EXPECT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abd").c_str()), 1);
}

TEST_F(CachesThroughTheLibrary, NamesAreKeptByteForByte) {
    // Case variants, and UTF-8 names whose bytes the single-byte page folds
    // together (К D0 9A and Њ D0 8A), are different files with their own digests.
    const std::pair<const char*, const char*> pairs[] = {{"Case.bin", "case.bin"},
                                                         {"\xD0\x9A.bin", "\xD0\x8A.bin"},
                                                         {"\xD0\x9C.bin", "\xD0\x8C.bin"}};
    for (const auto& [a, b] : pairs) {
        const std::string first = dir.WriteAged(a, std::string("first ") + a);
        const std::string second = dir.WriteAged(b, std::string("second ") + b);
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(AdvancedCheck(first.c_str(), Md5Rule(std::string("first ") + a).c_str()), 1) << a;
            EXPECT_EQ(AdvancedCheck(second.c_str(), Md5Rule(std::string("second ") + b).c_str()), 1) << b;
        }
    }
}
#else
TEST_F(CachesThroughTheLibrary, ACaseVariantOfTheNameFindsTheSameFile) {
    const std::string file = dir.WriteAged("Case.bin", "abc");
    ASSERT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abc").c_str()), 1);
    NoReads noReads;
    EXPECT_EQ(AdvancedCheck(dir.File("CASE.BIN").c_str(), Md5Rule("abc").c_str()), 1);
}
#endif

TEST_F(CachesThroughTheLibrary, ANameWithEqualsIsItsOwnKey) {
    std::filesystem::create_directory(dir.Path() / "eqc");
    const std::string whole = dir.WriteAged("eqc/a=b", "whole");
    const std::string prefix = dir.WriteAged("eqc/a", "prefix");
    EXPECT_EQ(AdvancedCheck(whole.c_str(), Md5Rule("whole").c_str()), 1);
    EXPECT_EQ(AdvancedCheck(prefix.c_str(), Md5Rule("prefix").c_str()), 1);
    EXPECT_EQ(AdvancedCheck(prefix.c_str(), ("MD5=b=" + ondrel::testing::DigestOfBytes("whole")).c_str()), 0);
    NoReads noReads;
    EXPECT_EQ(AdvancedCheck(whole.c_str(), Md5Rule("whole").c_str()), 1);
}

TEST_F(CachesThroughTheLibrary, AFailedReadIsNotKept) {
    const std::string file = dir.WriteAged("f.bin", "abc");
    const std::string noBytes = "MD5=" + ondrel::testing::DigestOfBytes("");
    {
        NoReads noReads;
        EXPECT_EQ(AdvancedCheck(file.c_str(), noBytes.c_str()), 1);  // as before: a failed read digests no bytes
    }
    EXPECT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abc").c_str()), 1);
    EXPECT_EQ(AdvancedCheck(file.c_str(), noBytes.c_str()), 0);
}

TEST_F(CachesThroughTheLibrary, ResetForgetsEveryEntry) {
    const std::string file = dir.WriteAged("f.bin", "abc");
    ASSERT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abc").c_str()), 1);
    NoReads noReads;
    EXPECT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abc").c_str()), 1);
    ondrel::ResetCachesForTests();
    EXPECT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abc").c_str()), 0);
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
