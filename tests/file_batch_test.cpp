// Files read once each for verify and make: the batch that reads them
// through the multi-lane MD5, the rules answering from what it read, and
// verify and make through it against the rules reading on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <new>
#include <random>
#include <set>
#include <stdexcept>

#include "checks/engine.h"
#include "checks/resource_rules.h"
#include "checks/rules.h"
#include "checksums/crc32.h"
#include "checksums/hex.h"
#include "platform/reader.h"
#include "tests/support/digests.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"
#include "tools/batch/file_batch.h"
#include "tools/batch/in_order.h"
#include "tools/rules/make_list.h"
#include "tools/manifest/verify.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ondrel::tool {
namespace {

using ondrel::testing::CaseName;
using ondrel::testing::CountingBytes;
using ondrel::testing::DigestOfBytes;
using ondrel::testing::PeImage;
using ondrel::testing::TempDir;

// A name from a prefix and a number.
std::string Numbered(const char* prefix, std::size_t n) {
    std::string name = prefix;
    name += std::to_string(n);
    return name;
}

// The generator's next value, 32 bits.
std::uint32_t Next(std::mt19937& rng) { return static_cast<std::uint32_t>(rng()); }

std::string CrcText(const std::string& bytes) { return Crc32ToHex(Crc32(0, bytes.data(), bytes.size())); }

RuleChoice Rules(const std::vector<std::string>& names) {
    return *ParseRuleSets(names);
}

// Items over a list of names, each with the same needs; what Done was
// handed, by item.
struct Recorded {
    bool read = false;
    std::string md5;  // digest text, when read
    std::string crc;  // when read
    int done = 0;
};

class ListItems : public BatchItems {
public:
    ListItems(std::vector<std::string> names, ReadNeeds needs) : names_(std::move(names)), needs_(needs), got(names_.size()) {}
    bool Next(std::size_t& item) override {
        if (next_ == names_.size()) return false;
        item = next_++;
        return true;
    }
    ReadPlan Plan(std::size_t item) override { return {&names_[item], needs_}; }
    void Done(std::size_t item, const FileRead* read) override {
        Recorded& r = got[item];
        ++r.done;
        if (!read) return;
        r.read = true;
        EXPECT_EQ(read->name, names_[item]);
        if (read->md5) r.md5 = DigestText(*read->md5);
        if (read->crc32) r.crc = Crc32ToHex(*read->crc32);
        if (throwAt && item == *throwAt) throw std::runtime_error("done failed");
    }

    std::vector<std::string> names_;
    ReadNeeds needs_;
    std::size_t next_ = 0;
    std::vector<Recorded> got;
    std::optional<std::size_t> throwAt;
};

std::vector<Md5LaneSetup> SetupsThatRun() {
    std::vector<Md5LaneSetup> setups;
    for (Md5LaneCore core : kMd5LaneCores)
        if (Md5LaneCoreRuns(core)) setups.push_back(Md5LaneSetupOf(core));
    return setups;
}

// ---- what a check list needs ----

struct NeedsCase {
    std::string name;
    std::string list;
    bool crc32;
    bool md5;
    bool bytes;  // a rule that reads ranges or the image
};

class Needs : public ::testing::TestWithParam<NeedsCase> {};

TEST_P(Needs, TheChecksumsAndWhetherTheBytesAreKept) {
    const ReadNeeds n = NeedsOf(GetParam().list);
    EXPECT_EQ(n.crc32, GetParam().crc32);
    EXPECT_EQ(n.md5, GetParam().md5);
    EXPECT_EQ(n.bytes, GetParam().bytes);
    EXPECT_EQ(n.Any(), GetParam().crc32 || GetParam().md5 || GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    FileBatch, Needs,
    ::testing::Values(NeedsCase{"Empty", "", false, false, false}, NeedsCase{"Md5", "MD5=00", false, true, false},
                      NeedsCase{"SmallLetters", "crc32=1,Md5=2", true, true, false},
                      NeedsCase{"Quoted", "FILESIZE=1,\"MD5=a b\"", false, true, false},
                      NeedsCase{"OtherDigests", "SECMD5=0,ENDMD5=1|0,SIZEMD5=0|1|0,RESMD5=1|1|0", false, false, true},
                      NeedsCase{"ImageRules", "secsize=1,SSECMD5=.text-0,ICONMD5=0,BRMD5=0", false, false, true},
                      NeedsCase{"SizeAndIni", "FILESIZE=1,FILESIZE>0,INI=a,FLAGIFNOFILE=", false, false, false},
                      NeedsCase{"NoEquals", "MD5,CRC32,SECMD5", false, false, false},
                      NeedsCase{"CrcOnly", "FILESIZE=3,CRC32=00000000", true, false, false}),
    CaseName());

// ---- the CRC32 and MD5 rules answering from a read ----

TEST(KnownDigests, TheRulesAnswerFromWhatTheReadHolds) {
    TempDir dir;
    const std::string file = dir.Write("f", "bytes on disk");
    Md5Digest claimed{};
    claimed[0] = 0xAB;
    const std::string claimedText = DigestText(claimed);
    auto evaluate = [&](const std::string& list, const FileRead* read) {
        const KnownDigests known = read ? read->Known() : KnownDigests{};
        return Evaluate(file.c_str(), list.c_str(), LibraryKeywords(), nullptr, nullptr, read ? &known : nullptr);
    };
    const FileRead both{file, {}, 0x12345678u, claimed, std::nullopt};
    // The rules do not look at the file: what the read says holds.
    EXPECT_TRUE(evaluate("CRC32=12345678,MD5=" + claimedText, &both));
    EXPECT_FALSE(evaluate("MD5=" + DigestOfBytes("bytes on disk"), &both));
    // What the read does not hold, the rules read themselves.
    const FileRead md5Only{file, {}, std::nullopt, claimed, std::nullopt};
    EXPECT_TRUE(evaluate("CRC32=" + CrcText("bytes on disk") + ",MD5=" + claimedText, &md5Only));
    // Without a read, the library's rules as they are.
    EXPECT_TRUE(evaluate("CRC32=" + CrcText("bytes on disk") + ",MD5=" + DigestOfBytes("bytes on disk"), nullptr));
}

TEST(LaneSetup, TheLaneCoreCanBeNamedForBenchmarks) {
    const char* old = std::getenv(kLanesVariable);
    const std::string kept = old ? old : "";
    auto set = [](const char* value) {
#ifdef _WIN32
        _putenv_s(kLanesVariable, value ? value : "");
#else
        if (value) setenv(kLanesVariable, value, 1);
        else unsetenv(kLanesVariable);
#endif
    };
    set("one-stream");
    EXPECT_EQ(ToolLaneSetup().core, Md5LaneCore::OneStream);
    set("no-such-core");
    EXPECT_EQ(ToolLaneSetup().core, Md5LaneChosen().core);
    for (Md5LaneCore core : kMd5LaneCores) {
        set(Md5LaneCoreName(core));
        EXPECT_EQ(ToolLaneSetup().core, Md5LaneCoreRuns(core) ? core : Md5LaneChosen().core) << Md5LaneCoreName(core);
    }
    set(old ? kept.c_str() : nullptr);
}

// ---- opening many files ----

TEST(OpenLookedUp, RegularFilesOnlyWithTheirIdentity) {
    TempDir dir;
    const std::string file = dir.Write("f", "12345");
    std::filesystem::create_directory(dir.Path() / "folder");
    platform::Result<platform::FileReader, platform::OpenFailure> opened =
        platform::FileReader::OpenLookedUp(file, platform::Share::Read);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->Size(), 5u);
    EXPECT_EQ(opened->file().IdentityAtOpen(), *platform::IdentityOf(file));
    char bytes[5];
    EXPECT_TRUE(opened->ReadAt(0, bytes, 5));
    EXPECT_EQ(std::string(bytes, 5), "12345");
    platform::Result<platform::FileReader, platform::OpenFailure> missing =
        platform::FileReader::OpenLookedUp(dir.File("none"), platform::Share::ReadWrite);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.failure(), platform::OpenFailure::NotFound);
    platform::Result<platform::FileReader, platform::OpenFailure> folder =
        platform::FileReader::OpenLookedUp(dir.File("folder"), platform::Share::ReadWrite);
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.failure(), platform::OpenFailure::NotRegular);
#ifndef _WIN32
    // A FIFO without a writer would hold an open for reading: it is refused unopened.
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    platform::Result<platform::FileReader, platform::OpenFailure> pipe =
        platform::FileReader::OpenLookedUp(fifo, platform::Share::ReadWrite);
    ASSERT_FALSE(pipe);
    EXPECT_EQ(pipe.failure(), platform::OpenFailure::NotRegular);
#endif
}

// ---- the batch ----

// Around the block, the head the first bytes go to (16 KiB less 128
// bytes), the batch's chunks and the reader's; then small files again, read
// after the first large one changed where first reads go.
std::vector<std::size_t> EdgeSizes() {
    const std::size_t chunk = platform::FileReader::kChunk;
    return {0,     1,     55,        56,    63,        64,           65,          119, 120, 128, 4096, 16255, 16256,
            16257, 16384, 65535,     65536, 65537,     chunk - 1,    chunk,       chunk + 1, 3 * chunk + 5,
            (std::size_t{1} << 20) + 7, 2, 16258};
}

TEST(FileBatch, EveryCoreGivesEachFileItsDigestAndCrcOnce) {
    TempDir dir;
    std::vector<std::string> names, bytes;
    std::mt19937 rng(22);
    for (std::size_t size : EdgeSizes()) {
        std::string b(size, '\0');
        for (char& c : b) c = static_cast<char>(Next(rng));
        names.push_back(dir.Write(Numbered("f", size), b));
        bytes.push_back(std::move(b));
    }
    for (const Md5LaneSetup& setup : SetupsThatRun()) {
        for (std::size_t most : {std::size_t{1}, std::size_t{3}, std::size_t{64}}) {
            const std::string what = std::string(Md5LaneCoreName(setup.core)) + " x" + std::to_string(most);
            FileBatch batch(setup, most);
            EXPECT_LE(batch.InFlight(), most) << what;
            EXPECT_GE(batch.InFlight(), 1u) << what;
            ListItems items(names, {true, true});
            batch.Run(items);
            for (std::size_t i = 0; i < names.size(); ++i) {
                EXPECT_EQ(items.got[i].done, 1) << what << " " << bytes[i].size();
                EXPECT_TRUE(items.got[i].read) << what << " " << bytes[i].size();
                EXPECT_EQ(items.got[i].md5, DigestOfBytes(bytes[i])) << what << " " << bytes[i].size();
                EXPECT_EQ(items.got[i].crc, CrcText(bytes[i])) << what << " " << bytes[i].size();
            }
        }
    }
}

TEST(FileBatch, OnlyWhatIsNeededAndNothingForFilesItCannotOpen) {
    TempDir dir;
    const std::string file = dir.Write("f", "abc");
    std::filesystem::create_directory(dir.Path() / "folder");
    const std::vector<std::string> names = {file, dir.File("missing"), dir.File("folder"), file};
    for (ReadNeeds needs : {ReadNeeds{false, false}, ReadNeeds{true, false}, ReadNeeds{false, true}}) {
        FileBatch batch(Md5LaneChosen(), 64);
        ListItems items(names, needs);
        batch.Run(items);
        for (std::size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(items.got[i].done, 1);
            EXPECT_EQ(items.got[i].read, needs.Any() && names[i] == file) << i;
        }
        EXPECT_EQ(items.got[0].crc, needs.crc32 ? CrcText("abc") : "");
        EXPECT_EQ(items.got[0].md5, needs.md5 ? DigestOfBytes("abc") : "");
    }
}

// Reads fail once so many bytes were delivered: the files read before are
// read, the rest are handed back unread, each once.
class FailingReads {
public:
    explicit FailingReads(std::uint64_t after) { platform::FailReadsAfter(after); }
    ~FailingReads() { platform::StopFailingReads(); }
};

TEST(FileBatch, AReadThatFailsMidwayLeavesTheFileToTheRules) {
    TempDir dir;
    std::vector<std::string> names;
    const std::size_t size = 3 * platform::FileReader::kChunk;
    for (int i = 0; i < 8; ++i) names.push_back(dir.Write(Numbered("f", i), CountingBytes(size + i)));
    for (const Md5LaneSetup& setup : SetupsThatRun()) {
        ListItems items(names, {true, true});
        {
            FailingReads failing(2 * size);
            FileBatch(setup, 64).Run(items);
        }
        std::size_t read = 0;
        for (std::size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(items.got[i].done, 1) << Md5LaneCoreName(setup.core);
            if (!items.got[i].read) continue;
            ++read;
            const std::string bytes = CountingBytes(size + i);
            EXPECT_EQ(items.got[i].md5, DigestOfBytes(bytes));
            EXPECT_EQ(items.got[i].crc, CrcText(bytes));
        }
        EXPECT_LT(read, names.size()) << Md5LaneCoreName(setup.core);
    }
}

TEST(FileBatch, WhatDoneThrowsLeavesRunAndTheBatchRunsAgain) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) names.push_back(dir.Write(Numbered("f", i), CountingBytes(1000 + 10 * i)));
    FileBatch batch(Md5LaneChosen(), 64);
    ListItems failing(names, {false, true});
    failing.throwAt = 5;
    EXPECT_THROW(batch.Run(failing), std::runtime_error);
    ListItems again(names, {false, true});
    batch.Run(again);
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(again.got[i].done, 1);
        EXPECT_EQ(again.got[i].md5, DigestOfBytes(CountingBytes(1000 + 10 * i)));
    }
}

// ---- verify and make through the batch against the rules alone ----

struct TreeFile {
    std::string path;
    std::vector<std::string> lists;  // to verify it against
};

// A PE image with code, data, an icon group, a bitmap and a version
// resource, its sizes from the number.
std::string ImageWithResources(std::uint32_t n) {
    using ondrel::testing::PeKey;
    PeImage image;
    image.sections = {{".text", std::string(100 + n % 5000, 'c')}, {".data", CountingBytes(n % 3000)}};
    image.resources = {{PeKey::Id(14), PeKey::Name(u"MAINICON"), 0, CountingBytes(20 + n % 50)},
                       {PeKey::Id(2), PeKey::Id(100), 0, CountingBytes(40 + n % 700)},
                       {PeKey::Id(16), PeKey::Id(1), 0x409, "version " + std::to_string(n)}};
    return image.Bytes();
}

// A tree of files of random sizes (many small, some large), empty files, PE
// images, files changed after their lists were made, files removed, a
// folder, and files the process may not read, from a fixed generator start
// value; each with lists of several rule sets.
std::vector<TreeFile> RandomTree(const TempDir& dir, std::uint32_t start) {
    std::mt19937 rng(start);
    std::vector<TreeFile> tree;
    const std::vector<std::vector<std::string>> sets = {{"md5"}, {"crc32", "md5"}, {"default"}, {"size", "crc32"}, {"all"}};
    for (int i = 0; i < 60; ++i) {
        const std::string name = Numbered("f", i);
        std::string bytes;
        const unsigned kind = Next(rng) % 10;
        if (kind == 0) {
            bytes.clear();
        } else if (kind == 1) {
            bytes = ImageWithResources(Next(rng));
        } else {
            const std::size_t size = std::size_t{1} << (Next(rng) % 19);
            bytes.resize(size + Next(rng) % size);
            for (char& c : bytes) c = static_cast<char>(Next(rng));
        }
        const std::string path = dir.Write(name, bytes);
        TreeFile f{path, {}};
        for (const auto& set : sets) f.lists.push_back(MakeCheckList(path, Rules(set)).checkList);
        f.lists.push_back("md5=" + DigestOfBytes(bytes) + ",crc32=" + CrcText(bytes));  // small letters
        f.lists.push_back("MD5=" + DigestOfBytes(bytes) + ",FILESIZE=1,CRC32=0");        // stops before CRC32
        f.lists.push_back("CRC32=0,FLAGIFNOFILE=,MD5=" + DigestOfBytes(bytes));
        const unsigned fate = Next(rng) % 8;
        if (fate == 0) {
            bytes.push_back('x');
            dir.Write(name, bytes);  // changed
        } else if (fate == 1 && !bytes.empty()) {
            bytes[bytes.size() / 2] ^= 1;
            dir.Write(name, bytes);  // changed, same size
        } else if (fate == 2) {
            std::filesystem::remove(path);
        }
#ifndef _WIN32
        else if (fate == 3) {
            chmod(path.c_str(), 0);  // unreadable, unless the tests run with the power to read it anyway
        }
#endif
        tree.push_back(std::move(f));
    }
    std::filesystem::create_directory(dir.Path() / "folder");
    tree.push_back({dir.File("folder"), {"", "MD5=" + ondrel::testing::kEmptyDigestText, "CRC32=00000000,FLAGIFNOFILE="}});
    return tree;
}

struct Check {
    std::string path;
    std::string list;
};

void ExpectSameVerdict(const FileVerdict& plain, const FileVerdict& batched, const std::string& what) {
    EXPECT_EQ(batched.verdict, plain.verdict) << what;
    EXPECT_EQ(batched.failedEntry, plain.failedEntry) << what;
    EXPECT_EQ(batched.computed, plain.computed) << what;
    EXPECT_EQ(batched.reason, plain.reason) << what;
}

TEST(VerifyThroughBatch, VerdictsAreThoseOfTheRulesAloneOnEveryCoreAndJobCount) {
    TempDir dir;
    std::vector<Check> checks;
    for (const TreeFile& f : RandomTree(dir, 22))
        for (const std::string& list : f.lists) checks.push_back({f.path, list});
    std::vector<FileVerdict> plain;
    for (const Check& c : checks) plain.push_back(VerifyFile(c.path, c.list));
    std::set<Verdict> seen;
    for (const FileVerdict& v : plain) seen.insert(v.verdict);
    EXPECT_EQ(seen.size(), 3u) << "the tree gives every verdict";
    const char* old = std::getenv(kLanesVariable);
    ASSERT_EQ(old, nullptr) << "run without " << kLanesVariable;
    for (unsigned jobs : {1u, 2u, 5u}) {
        std::vector<std::size_t> order;
        std::atomic<std::size_t> read{0};
        RunFilesInOrder<FileVerdict>(
            checks.size(), jobs, [&](std::size_t i) { return ReadPlan{&checks[i].path, NeedsOf(checks[i].list)}; },
            [&](std::size_t i, const FileRead* r) {
                if (r) ++read;
                return VerifyFile(checks[i].path, checks[i].list, r);
            },
            [&](std::size_t i, FileVerdict& v) {
                order.push_back(i);
                ExpectSameVerdict(plain[i], v, "-j " + std::to_string(jobs) + " " + checks[i].path + " " + checks[i].list);
            },
            [](std::size_t) {});
        ASSERT_EQ(order.size(), checks.size());
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
        EXPECT_GT(read.load(), checks.size() / 2) << "most files are read by the batch";
    }
}

TEST(VerifyThroughBatch, FailingReadsGiveTheRulesVerdicts) {
    TempDir dir;
    std::vector<Check> checks;
    for (int i = 0; i < 6; ++i) {
        const std::string bytes = CountingBytes(300000 + i);
        const std::string path = dir.Write(Numbered("f", i), bytes);
        checks.push_back({path, "MD5=" + DigestOfBytes(bytes)});
        checks.push_back({path, "CRC32=" + CrcText(bytes) + ",MD5=" + DigestOfBytes(bytes)});
    }
    // Every read fails: the rules meet the failure themselves.
    FailingReads failing(0);
    std::vector<FileVerdict> plain;
    for (const Check& c : checks) plain.push_back(VerifyFile(c.path, c.list));
    RunFilesInOrder<FileVerdict>(
        checks.size(), 2, [&](std::size_t i) { return ReadPlan{&checks[i].path, NeedsOf(checks[i].list)}; },
        [&](std::size_t i, const FileRead* read) {
            EXPECT_EQ(read, nullptr);
            return VerifyFile(checks[i].path, checks[i].list, read);
        },
        [&](std::size_t i, FileVerdict& v) {
            EXPECT_EQ(v.verdict, Verdict::Failed);
            ExpectSameVerdict(plain[i], v, checks[i].list);
        },
        [](std::size_t) {});
}

TEST(MakeThroughBatch, ListsAreThoseOfTheRulesAlone) {
    TempDir dir;
    const std::vector<TreeFile> tree = RandomTree(dir, 7);
    for (const std::vector<std::string>& set :
         {std::vector<std::string>{"md5"}, {"default"}, {"crc32", "end", "range"}, {"all"}}) {
        const RuleChoice rules = Rules(set);
        std::vector<MadeList> plain;
        for (const TreeFile& f : tree) plain.push_back(MakeCheckList(f.path, rules));
        for (unsigned jobs : {1u, 3u}) {
            RunFilesInOrder<MadeList>(
                tree.size(), jobs, [&](std::size_t i) { return ReadPlan{&tree[i].path, NeedsOf(rules)}; },
                [&](std::size_t i, const FileRead* read) { return MakeCheckList(tree[i].path, rules, read); },
                [&](std::size_t i, MadeList& made) {
                    EXPECT_EQ(made.checkList, plain[i].checkList) << tree[i].path << " " << set[0];
                    EXPECT_EQ(made.leftOut, plain[i].leftOut) << tree[i].path << " " << set[0];
                    EXPECT_EQ(made.problem, plain[i].problem) << tree[i].path << " " << set[0];
                },
                [](std::size_t) {});
        }
    }
}

// A file whose rules all read it (ranges, sections, resources, checksums)
// is read once: with reads failing after its size, every rule still holds
// through the batch, in verify and in make, while on their own the rules
// meet the failure.
TEST(FileBatch, AFileIsReadOnceForAllItsRules) {
    TempDir dir;
    const std::string bytes = ImageWithResources(4242);
    const std::string path = dir.Write("image.exe", bytes);
    const RuleChoice all = Rules({"all"});
    const MadeList made = MakeCheckList(path, all);
    for (const char* keyword : {"SECSIZE=", "SECMD5=", "SSECMD5=", "ICONMD5=", "RESMD5=", "ENDMD5=", "SIZEMD5=", "CRC32=", "MD5="})
        ASSERT_NE(made.checkList.find(keyword), std::string::npos) << keyword << " in " << made.checkList;
    // make writes no BRMD5: the bitmap's digest as the rule computes it.
    const std::string list = made.checkList + ",BRMD5=" + ResourceDigest(path, "100", platform::ResourceArgument::Id(2));
    ASSERT_EQ(VerifyFile(path, list).verdict, Verdict::Held);
    const std::vector<std::string> names = {path};
    for (unsigned jobs : {1u, 2u}) {
        FailingReads failing(bytes.size());
        RunFilesInOrder<FileVerdict>(
            1, jobs, [&](std::size_t) { return ReadPlan{&names[0], NeedsOf(list)}; },
            [&](std::size_t, const FileRead* read) {
                EXPECT_NE(read, nullptr);
                return VerifyFile(path, list, read);
            },
            [&](std::size_t, FileVerdict& v) { EXPECT_EQ(v.verdict, Verdict::Held) << v.failedEntry << " " << v.reason; },
            [](std::size_t) {});
    }
    {
        FailingReads failing(bytes.size());
        RunFilesInOrder<MadeList>(
            1, 1, [&](std::size_t) { return ReadPlan{&names[0], NeedsOf(all)}; },
            [&](std::size_t, const FileRead* read) { return MakeCheckList(path, all, read); },
            [&](std::size_t, MadeList& again) { EXPECT_EQ(again.checkList, made.checkList); }, [](std::size_t) {});
    }
    // The seam is live: the rules alone, after the one read, fail.
    FailingReads failing(0);
    EXPECT_EQ(VerifyFile(path, list).verdict, Verdict::Failed);
}

TEST(RunFilesInOrder, AFailedEmitStopsTheWork) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i) names.push_back(dir.Write(Numbered("f", i), "x"));
    std::atomic<std::size_t> worked{0};
    EXPECT_THROW(RunFilesInOrder<int>(
                     names.size(), 2, [&](std::size_t i) { return ReadPlan{&names[i], {false, true}}; },
                     [&](std::size_t, const FileRead*) {
                         ++worked;
                         std::this_thread::sleep_for(std::chrono::microseconds(200));
                         return 0;
                     },
                     [&](std::size_t i, int&) {
                         if (i == 3) throw std::runtime_error("write failed");
                     },
                     [](std::size_t) {}),
                 std::runtime_error);
    EXPECT_LT(worked.load(), names.size()) << "the threads stop after the files they hold";
}

// With fewer threads than asked for, or none (the calling thread reads the
// files itself), the lists are those of the rules alone, in order, with
// one note.
TEST(RunFilesInOrder, ThreadsThatCannotStartLeaveFewerWorkers) {
    TempDir dir;
    const std::vector<TreeFile> tree = RandomTree(dir, 5);
    const RuleChoice rules = Rules({"all"});
    std::vector<MadeList> plain;
    for (const TreeFile& f : tree) plain.push_back(MakeCheckList(f.path, rules));
    for (long starts : {0L, 1L}) {
        FailThreadStartsAfter(starts);
        std::vector<std::size_t> order;
        std::vector<std::string> notes;
        RunFilesInOrder<MadeList>(
            tree.size(), 3, [&](std::size_t i) { return ReadPlan{&tree[i].path, NeedsOf(rules)}; },
            [&](std::size_t i, const FileRead* read) { return MakeCheckList(tree[i].path, rules, read); },
            [&](std::size_t i, MadeList& made) {
                order.push_back(i);
                EXPECT_EQ(made.checkList, plain[i].checkList) << starts << " " << tree[i].path;
                EXPECT_EQ(made.leftOut, plain[i].leftOut) << starts << " " << tree[i].path;
                EXPECT_EQ(made.problem, plain[i].problem) << starts << " " << tree[i].path;
            },
            [](std::size_t) {}, [&](const std::string& note) { notes.push_back(note); });
        StopFailingThreadStarts();
        ASSERT_EQ(order.size(), tree.size()) << starts;
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << starts;
        ASSERT_EQ(notes.size(), 1u) << starts;
        EXPECT_EQ(notes[0].rfind("could start " + std::to_string(starts) + " of 3 threads (", 0), 0u) << notes[0];
    }
}

// Out of memory while a batch holds many files: what was emitted is the
// results before the item in order, and std::bad_alloc reaches the calling
// thread; the files the failed batch held are never waited for.
TEST(RunFilesInOrder, AWorkerOutOfMemoryEndsTheRunOnTheCallingThread) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) names.push_back(dir.Write(Numbered("f", i), CountingBytes(100 + i)));
    constexpr std::size_t kFailing = 150;
    for (long starts : {-1L, 0L}) {
        FailThreadStartsAfter(starts);
        for (unsigned jobs : {1u, 2u}) {
            std::vector<std::size_t> emitted;
            EXPECT_THROW(RunFilesInOrder<int>(
                             names.size(), jobs, [&](std::size_t i) { return ReadPlan{&names[i], {true, true}}; },
                             [&](std::size_t i, const FileRead*) {
                                 if (i == kFailing) throw std::bad_alloc();
                                 return 0;
                             },
                             [&](std::size_t i, int&) { emitted.push_back(i); }, [](std::size_t) {}),
                         std::bad_alloc)
                << starts << " -j " << jobs;
            EXPECT_LE(emitted.size(), kFailing) << starts << " -j " << jobs;
            for (std::size_t i = 0; i < emitted.size(); ++i) EXPECT_EQ(emitted[i], i) << starts << " -j " << jobs;
        }
        StopFailingThreadStarts();
    }
}

}  // namespace
}  // namespace ondrel::tool
