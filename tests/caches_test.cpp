// The digest caches: a digest answers only for the file it was computed
// from, so the caches change the speed of a call and never its answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "checks/caches.h"
#include "ondrel.h"
#include "platform/reader.h"
#include "platform/text.h"
#include "tests/support/child_process.h"
#include "tests/support/digests.h"
#include "tests/support/test_files.h"

#ifdef __linux__
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

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

// A second in the units of FileIdentity's times.
#ifdef _WIN32
constexpr std::int64_t kSecond = 10000000;
#else
constexpr std::int64_t kSecond = 1000000000;
#endif

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
    ondrel::testing::ClockAhead settled;
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

TEST(ChangedRecently, EitherTimeWithinTwoSecondsOfNowOrAfterIt) {
    // Now, in the identity's units: the times of a file written just now.
    ondrel::testing::TempDir dir;
    const FileIdentity written = ondrel::platform::IdentityOf(dir.Write("now.bin", "x")).value();
    const std::int64_t now = std::max(written.modified, written.changed);
    const std::int64_t hourAgo = now - 3600 * kSecond;
    struct Case {
        const char* name;
        std::int64_t modified, changed;
        std::int64_t ahead;  // seconds the clock runs ahead
        bool recent;
    };
    const Case cases[] = {
        {"both an hour old", hourAgo, hourAgo, 0, false},
        {"changed now, modified an hour ago", hourAgo, now, 0, true},
        {"modified now, changed an hour ago", now, hourAgo, 0, true},
        {"changed a second ago", hourAgo, now - kSecond, 0, true},
        {"changed three seconds ago", hourAgo, now - 3 * kSecond, 0, false},
        {"changed in an hour", hourAgo, now + 3600 * kSecond, 0, true},
        {"modified in an hour", now + 3600 * kSecond, hourAgo, 0, true},
        {"no change time kept, modified an hour ago", hourAgo, 0, 0, false},
        {"no change time kept, modified now", now, 0, 0, true},
        {"modified at the earliest time", std::numeric_limits<std::int64_t>::min(), hourAgo, 0, false},
        {"modified at the latest time", std::numeric_limits<std::int64_t>::max(), hourAgo, 0, true},
        {"both now, the clock an hour ahead", now, now, 3600, false},
        {"both now, the clock a second ahead", now, now, 1, true},
    };
    for (const Case& c : cases) {
        FileIdentity id = written;
        id.modified = c.modified;
        id.changed = c.changed;
        ondrel::testing::ClockAhead ahead(c.ahead);
        EXPECT_EQ(ondrel::platform::ChangedRecently(id), c.recent) << c.name;
    }
}

TEST(CachedDigest, AFileModifiedOrChangedWithinTwoSecondsIsNotStored) {
    // Setting the last-write time changes the file: its change time is now,
    // and only the clock running ahead makes it older.
    const std::int64_t realNow = static_cast<std::int64_t>(std::time(nullptr));
    struct Case {
        const char* name;
        std::optional<std::int64_t> modified;  // seconds from now by the system's clock; none: as written
        std::int64_t ahead;                    // seconds the caches' clock runs ahead
        bool stored;
    };
    const Case cases[] = {
        {"written now", std::nullopt, 0, false},
        {"modified an hour ago, changed now", -3600, 0, false},
        {"modified an hour ago, changed a second ago", -3600, 1, false},
        {"modified an hour ago, changed three seconds ago", -3600, 3, true},
        {"both an hour ago", -3600, 3600, true},
        {"modified now, changed an hour ago", 3600, 3600, false},
        {"modified three seconds ago, changed an hour ago", 3597, 3600, true},
        {"modified in an hour, changed an hour ago", 7200, 3600, false},
    };
    ondrel::testing::TempDir dir;
    for (const Case& c : cases) {
        const std::string file = dir.Write(c.name, "abc");
        if (c.modified) ondrel::testing::SetLastWriteTime(file, realNow + *c.modified);
        ondrel::testing::ClockAhead ahead(c.ahead);
        DigestCache cache;
        int computed = 0;
        auto compute = [&] {
            ++computed;
            return ondrel::ComputedDigest{"D", ondrel::platform::IdentityOf(file)};
        };
        ondrel::CachedDigest(&cache, file, compute);
        ondrel::CachedDigest(&cache, file, compute);
        EXPECT_EQ(computed, c.stored ? 1 : 2) << c.name;
    }
}

// Through the library: every call answers as it would without the caches.
class CachesThroughTheLibrary : public ::testing::Test {
protected:
    void SetUp() override { ondrel::ResetCachesForTests(); }
    void TearDown() override { ondrel::ResetCachesForTests(); }
    ondrel::testing::TempDir dir;
    ondrel::testing::ClockAhead settled;  // what a test wrote may be kept
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

TEST_F(CachesThroughTheLibrary, ARewriteThatKeepsSizeAndTimesIsSeenByItsChangeTime) {
    // The last-write time is put back as it was (SetFileTime on Windows),
    // and the clock runs ahead: only the change time tells the two apart.
    const std::int64_t written = static_cast<std::int64_t>(std::time(nullptr)) - 3600;
    const std::string file = dir.Write("f.bin", "abc");
    ondrel::testing::SetLastWriteTime(file, written);
    ASSERT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abc").c_str()), 1);
    const FileIdentity before = ondrel::platform::IdentityOf(file).value();
    // Rewritten until the change time moves, which it may do by ticks.
    FileIdentity after;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    do {
        dir.Write("f.bin", "abd");
        ondrel::testing::SetLastWriteTime(file, written);
        after = ondrel::platform::IdentityOf(file).value();
    } while (after.changed == before.changed && std::chrono::steady_clock::now() < until);
    ASSERT_NE(after.changed, before.changed) << "the change time did not move";
    after.changed = before.changed;
    ASSERT_EQ(after, before);
    EXPECT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abd").c_str()), 1);
    EXPECT_EQ(AdvancedCheck(file.c_str(), Md5Rule("abc").c_str()), 0);
}

namespace {

// Many rounds, since a rewrite may or may not fall in the tick of the write
// before it; fewer under Wine, where every file call is a round trip to its
// server.
#ifdef _WIN32
constexpr int kRewriteRounds = 50;
#else
constexpr int kRewriteRounds = 200;
#endif

// Rounds of a rewrite of the same size that puts the last-write time back
// as it was (touch -d, tar, cp -p, rsync -t; SetFileTime on Windows), the
// file checked through the library before and after each: the answers that
// were not those of the bytes the file held then. The clock is the system's.
// The bytes are written over the old ones in place, not truncated first
// (which ext4 follows with a flush to the disk).
int StaleAnswersOverRewrites(const ondrel::testing::TempDir& dir, int rounds) {
    const std::string file = dir.Write("rewritten.bin", "");
    const std::int64_t written = static_cast<std::int64_t>(std::time(nullptr)) - 3600;
    auto rewrite = [&](const std::string& bytes) {
        std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) throw std::runtime_error("cannot write " + file);
        ondrel::testing::SetLastWriteTime(file, written);
    };
    int stale = 0;
    for (int round = 0; round < rounds; ++round) {
        char first[32], second[32];
        std::snprintf(first, sizeof first, "round %04d first", round);
        std::snprintf(second, sizeof second, "round %04d other", round);
        rewrite(first);
        stale += AdvancedCheck(file.c_str(), Md5Rule(first).c_str()) != 1;
        rewrite(second);
        stale += AdvancedCheck(file.c_str(), Md5Rule(second).c_str()) != 1;
        stale += AdvancedCheck(file.c_str(), Md5Rule(first).c_str()) != 0;
    }
    return stale;
}

class RewritesKeepingTheTimes : public ::testing::Test {
protected:
    void SetUp() override { ondrel::ResetCachesForTests(); }
    void TearDown() override { ondrel::ResetCachesForTests(); }
};

}  // namespace

TEST_F(RewritesKeepingTheTimes, AreSeenInTheTemporaryFolder) {
    ondrel::testing::TempDir dir;
    EXPECT_EQ(StaleAnswersOverRewrites(dir, kRewriteRounds), 0) << "of " << 3 * kRewriteRounds << " answers";
}

#ifdef __linux__
// ramfs stamps change times by the kernel's coarse clock, which moves a tick
// of some milliseconds at a time: most rewrites fall in the tick of the
// write before them, and the file keeps its whole identity.
TEST_F(RewritesKeepingTheTimes, AreSeenOnRamfs) {
    if (geteuid() != 0)
        GTEST_SKIP() << "NOT TESTED: rewrites on a coarse change time (ramfs) need root, to mount it in a private namespace";
    EXPECT_TRUE(ondrel::testing::ChildPassesWithin("RewritesOnRamfsChild.*", std::chrono::seconds(120)));
}

TEST(RewritesOnRamfsChild, AreSeen) {
    ONDREL_ONLY_IN_CHILD();
    // A mount namespace of this process's own, whose mounts no one else sees.
    ASSERT_EQ(unshare(CLONE_NEWNS), 0) << std::strerror(errno);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    ondrel::testing::TempDir dir;
    ASSERT_EQ(mount("ondrel-test", dir.Path().c_str(), "ramfs", 0, nullptr), 0) << std::strerror(errno);
    struct Unmount {
        const std::filesystem::path& at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{dir.Path()};
    ondrel::ResetCachesForTests();
    EXPECT_EQ(StaleAnswersOverRewrites(dir, kRewriteRounds), 0) << "of " << 3 * kRewriteRounds << " answers";
    ondrel::ResetCachesForTests();
}
#endif

#ifndef _WIN32
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
