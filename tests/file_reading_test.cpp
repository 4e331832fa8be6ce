// Reading files: only regular disk files are read, by every rule, without
// waiting; a read that fails part way or a file that shrinks meanwhile is
// never taken for the file's bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "checks/engine.h"
#include "checks/rules.h"
#include "checks/file_digests.h"
#include "checks/section_rules.h"
#include "checksums/crc32.h"
#include "checksums/md5.h"
#include "ondrel.h"
#include "platform/reader.h"
#include "tests/support/child_process.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"
#include "tests/support/digests.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

using ondrel::testing::TempDir;
namespace platform = ondrel::platform;

namespace {

std::string NoBytes() { return ondrel::testing::DigestOfBytes("", 0); }

using ondrel::testing::ChildPassesWithin;

// What one rule computed and how it ended.
struct RuleResult {
    ondrel::Outcome outcome = ondrel::Outcome::NotEvaluated;
    std::optional<std::string> text;
};

class Recorder : public ondrel::EvaluationObserver {
public:
    void OnEntry(const ondrel::CheckListItem&, std::string_view, const ondrel::RuleTrace& trace,
                 ondrel::Outcome outcome) override {
        result = {outcome, trace.text};
    }
    void OnResult(bool) override {}
    RuleResult result;
};

RuleResult RunRule(const std::string& file, const std::string& entry) {
    Recorder recorder;
    ondrel::Evaluate(file.c_str(), entry.c_str(), ondrel::LibraryKeywords(), nullptr, &recorder);
    return recorder.result;
}

// One entry of every rule that reads the file's bytes.
const std::vector<std::string> kReadingRules = {
    "CRC32=00000000", "MD5=X",        "ENDMD5=4|X",    "SIZEMD5=0|3|X", "SECSIZE=1",     "SSECMD5=X",
    "SECMD5=X",       "ICONMD5=X",    "BRMD5=X",       "RESMD5=10|1|X", "INI=x",
};

// How the directory search of "INI" sees a name.
enum class Presence { Absent, Present, EitherWay };

// Every rule on the name gives what it gives for a file that cannot be
// opened: as for a missing file, but for "INI" on a name that the directory
// search finds present, which throws as on an open that fails.
void ExpectUnopenable(const std::string& name, const std::string& missing, Presence presence) {
    for (const std::string& entry : kReadingRules) {
        const RuleResult got = RunRule(name, entry);
        RuleResult want = RunRule(missing, entry);
        if (entry.rfind("INI=", 0) == 0) {
            if (presence == Presence::EitherWay && got.outcome == ondrel::Outcome::Threw) continue;
            if (presence == Presence::Present) want = {ondrel::Outcome::Threw, std::nullopt};
        }
        EXPECT_EQ(static_cast<int>(got.outcome), static_cast<int>(want.outcome)) << name << " " << entry;
        EXPECT_EQ(got.text, want.text) << name << " " << entry;
    }
    // The failed open lets a following FLAGIFNOFILE rescue the check.
    EXPECT_EQ(AdvancedCheck(name.c_str(), "CRC32=00000000,FLAGIFNOFILE="), 1) << name;
}

}  // namespace

// Things a name can open that are no regular disk file ---------------------

#ifndef _WIN32

TEST(UnreadableKindsChild, EveryRuleAsForAFileThatCannotBeOpened) {
    ONDREL_ONLY_IN_CHILD();
    TempDir dir;
    const std::string missing = dir.File("missing");

    struct Kind {
        std::string path;
        bool directory;
    };
    std::vector<Kind> kinds;
    // A FIFO that no one writes: opening it for reading would wait for a writer.
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    kinds.push_back({fifo, false});
    // A pipe whose writer stays open: reading it would wait for data.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    kinds.push_back({"/proc/self/fd/" + std::to_string(ends[0]), false});
    kinds.push_back({dir.Path().string(), true});
    // A device without end.
    kinds.push_back({"/dev/zero", false});
    // A socket bound to a name.
    const std::string socketPath = dir.File("socket");
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    kinds.push_back({socketPath, false});
    // A symbolic link to each.
    const std::size_t direct = kinds.size();
    for (std::size_t i = 0; i < direct; ++i) {
        const std::string link = dir.File("link" + std::to_string(i));
        std::filesystem::create_symlink(kinds[i].path, link);
        kinds.push_back({link, kinds[i].directory});
    }

    for (const Kind& kind : kinds)
        ExpectUnopenable(kind.path, missing, kind.directory ? Presence::Absent : Presence::Present);
    close(listener);
    close(ends[0]);
    close(ends[1]);
}

#else

// Device names and a named pipe that never receives data.
TEST(UnreadableKindsChild, EveryRuleAsForAFileThatCannotBeOpened) {
    ONDREL_ONLY_IN_CHILD();
    TempDir dir;
    const std::string missing = dir.File("missing");
    const std::string pipeName = "\\\\.\\pipe\\ondrel-test-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    // The directory search may or may not see a device name.
    for (const std::string& name : {std::string("CON"), std::string("NUL"), std::string("COM1"), pipeName})
        ExpectUnopenable(name, missing, Presence::EitherWay);
    CloseHandle(server);
}

#endif

TEST(UnreadableKinds, AnswerPromptlyInEveryRule) {
    EXPECT_TRUE(ChildPassesWithin("UnreadableKindsChild.*", std::chrono::seconds(60)));
}

// A file that shrinks while it is read ----------------------------------------

TEST(FileShrinking, RangeEndsAtTheNewEnd) {
    TempDir dir;
    const std::string file = dir.Write("shrinks.bin", ondrel::testing::CountingBytes(3 * platform::FileReader::kChunk));
    platform::FileReader reader = platform::FileReader::OpenOrThrow(file, platform::Share::ReadWrite);
    ASSERT_TRUE(reader);
    std::uint64_t delivered = 0;
    const platform::RangeEnd end = reader.ReadRange(0, reader.Size(), [&](const unsigned char*, std::size_t n) {
        if (delivered == 0) std::filesystem::resize_file(file, 1000);  // after the first chunk
        delivered += n;
    });
    EXPECT_EQ(end, platform::RangeEnd::EndOfFile);
    EXPECT_EQ(delivered, platform::FileReader::kChunk);
}

TEST(FileShrinkingChild, DigestIsTheWholeFileOrNoBytes) {
    ONDREL_ONLY_IN_CHILD();
    TempDir dir;
    const std::string bytes = ondrel::testing::CountingBytes(16u << 20);
    const std::string whole = ondrel::testing::DigestOfBytes(bytes.data(), bytes.size());
    const std::string cut = ondrel::testing::DigestOfBytes(bytes.data(), 4096);
    // Another thread cuts the file to 4096 bytes at some moment while it is
    // digested: before the open, during the reads or after them. Whatever
    // it hits, no signal may come, and the digest is of the file as it was,
    // of the file as it became, or of no bytes.
    for (int i = 0; i < 30; ++i) {
        const std::string file = dir.Write("shrinks" + std::to_string(i) + ".bin", bytes);
        std::thread cutter([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(700 * i));
            std::filesystem::resize_file(file, 4096);
        });
        const std::string text = ondrel::Md5OfFile(file).text;
        cutter.join();
        EXPECT_TRUE(text == whole || text == cut || text == NoBytes()) << text;
    }
}

TEST(FileShrinking, WhileDigestedGivesNoSignal) {
    EXPECT_TRUE(ChildPassesWithin("FileShrinkingChild.*", std::chrono::seconds(120)));
}

// A read that fails part way ---------------------------------------------------

class ReadFailure : public ::testing::Test {
protected:
    void TearDown() override { platform::StopFailingReads(); }
    TempDir dir;
};

// Each rule with reads failing after some bytes: never the digest of the
// part that was read.
struct FailureCase {
    const char* name;
    std::string entry;                 // before the expected text
    ondrel::Outcome outcome;           // with the digest of no bytes as the expected text
    bool noBytes;                      // the rule computes the digest of no bytes
};

class ReadFailureCases : public ReadFailure, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ReadFailureCases, CountsAsAFileNotRead) {
    const FailureCase& c = GetParam();
    // A name of its own, so that no digest cache answers for the file.
    const std::string file = dir.Write(std::string(c.name) + ".bin", ondrel::testing::CountingBytes(1 << 20));
    platform::FailReadsAfter(300000);
    const RuleResult got = RunRule(file, c.entry + NoBytes());
    platform::StopFailingReads();
    EXPECT_EQ(static_cast<int>(got.outcome), static_cast<int>(c.outcome));
    if (c.noBytes) {
        EXPECT_EQ(got.text, NoBytes());
    }
    // Read again without failures, the true digest (not cached as no bytes
    // under this name by the failure, for the rules that cache).
    if (c.noBytes && c.entry.rfind("MD5=", 0) != 0) {
        EXPECT_NE(RunRule(file, c.entry + NoBytes()).text, NoBytes());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReadFailureCases,
    ::testing::Values(FailureCase{"Md5", "MD5=", ondrel::Outcome::Held, true},
                      FailureCase{"EndMd5", "ENDMD5=900000|", ondrel::Outcome::Held, true},
                      FailureCase{"SizeMd5", "SIZEMD5=0|999999|", ondrel::Outcome::Held, true},
                      FailureCase{"Crc32", "CRC32=", ondrel::Outcome::Threw, false},
                      FailureCase{"Ini", "INI=", ondrel::Outcome::Threw, false}),
    ondrel::testing::CaseName());

TEST_F(ReadFailure, Md5OfFileIsNeverThePrefix) {
    const std::string bytes = ondrel::testing::CountingBytes(1 << 20);
    const std::string file = dir.Write("f.bin", bytes);
    for (std::uint64_t after : {0ull, 1ull, 65536ull, 262144ull, 1048575ull}) {
        platform::FailReadsAfter(after);
        const ondrel::ComputedDigest digest = ondrel::Md5OfFile(file);
        platform::StopFailingReads();
        EXPECT_EQ(digest.text, NoBytes()) << after;
        EXPECT_FALSE(digest.readFrom) << after;  // nothing for a cache to keep
    }
    platform::FailReadsAfter(1 << 20);  // exactly enough
    const ondrel::ComputedDigest digest = ondrel::Md5OfFile(file);
    EXPECT_EQ(digest.text, ondrel::testing::DigestOfBytes(bytes.data(), bytes.size()));
    EXPECT_TRUE(digest.readFrom);
}

TEST_F(ReadFailure, Crc32OfFileThrowsReadError) {
    const std::string file = dir.Write("f.bin", ondrel::testing::CountingBytes(1 << 20));
    platform::FailReadsAfter(5000);
    EXPECT_THROW(ondrel::Crc32OfFile(file), platform::FileReadError);
}

TEST_F(ReadFailure, RegionKeepsTheBytesBeforeTheFailure) {
    const std::string bytes = ondrel::testing::CountingBytes(100000);
    const std::string file = dir.Write("f.bin", bytes);
    platform::FileReader reader = platform::FileReader::OpenOrThrow(file, platform::Share::ReadWrite);
    ASSERT_TRUE(reader);
    platform::FailReadsAfter(1000);
    ondrel::Md5Stream digest;
    EXPECT_FALSE(ondrel::ReadFileRegion(reader, digest, 10, 5000));
    EXPECT_EQ(ondrel::DigestText(digest.Finish()), ondrel::testing::DigestOfBytes(bytes.data() + 10, 1000));
}

TEST_F(ReadFailure, ExactReadsFail) {
    const std::string file = dir.Write("f.bin", ondrel::testing::CountingBytes(5000));
    platform::FileReader reader = platform::FileReader::OpenOrThrow(file, platform::Share::ReadWrite);
    ASSERT_TRUE(reader);
    std::string out(4000, '\0');
    EXPECT_TRUE(reader.ReadAt(1000, out.data(), out.size()));
    platform::FailReadsAfter(3999);
    EXPECT_FALSE(reader.ReadAt(0, out.data(), out.size()));
    platform::StopFailingReads();
    EXPECT_FALSE(reader.ReadAt(1001, out.data(), out.size()));  // past the end
}

// Ranges through the reader ----------------------------------------------------

TEST(FileReader, RangesInChunksThroughOneBuffer) {
    TempDir dir;
    const std::size_t chunk = platform::FileReader::kChunk;
    const std::string bytes = ondrel::testing::CountingBytes(2 * chunk + 77);
    const std::string file = dir.Write("f.bin", bytes);
    platform::FileReader reader = platform::FileReader::OpenOrThrow(file, platform::Share::Read);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader.Size(), bytes.size());
    struct Range {
        std::uint64_t offset, count;
        platform::RangeEnd end;
        std::size_t delivered;
    };
    for (const Range& r : {Range{0, bytes.size(), platform::RangeEnd::Complete, bytes.size()},
                           Range{5, chunk, platform::RangeEnd::Complete, chunk},
                           Range{chunk - 1, 2, platform::RangeEnd::Complete, 2},
                           Range{0, platform::FileReader::kToEnd, platform::RangeEnd::EndOfFile, bytes.size()},
                           Range{100, bytes.size(), platform::RangeEnd::EndOfFile, bytes.size() - 100},
                           Range{bytes.size(), 1, platform::RangeEnd::EndOfFile, 0},
                           Range{bytes.size() + 10, 0, platform::RangeEnd::Complete, 0}}) {
        std::string got;
        const unsigned char* buffer = nullptr;
        bool oneBuffer = true;
        const platform::RangeEnd end = reader.ReadRange(r.offset, r.count, [&](const unsigned char* p, std::size_t n) {
            if (buffer && p != buffer) oneBuffer = false;
            buffer = p;
            EXPECT_LE(n, chunk);
            got.append(reinterpret_cast<const char*>(p), n);
        });
        EXPECT_EQ(end, r.end) << r.offset << "+" << r.count;
        EXPECT_EQ(got, bytes.substr(static_cast<std::size_t>(std::min<std::uint64_t>(r.offset, bytes.size())),
                                    r.delivered))
            << r.offset << "+" << r.count;
        EXPECT_TRUE(oneBuffer);
    }
}

// More than the address space ----------------------------------------------

#ifndef _WIN32

TEST(AddressSpaceChild, Md5OfAFileLargerThanTheAddressSpace) {
    ONDREL_ONLY_IN_CHILD();
    TempDir dir;
    const std::string file = dir.File("large.bin");
    const std::uint64_t size = 300u << 20;
    ondrel::testing::MakeSparseFile(file, size);
    // The digest this process can no longer map: zeros and a final "x".
    ondrel::Md5Stream expected;
    std::vector<unsigned char> zeros(1 << 20);
    for (std::uint64_t left = size - 1; left > 0;) {
        const std::size_t piece = left < zeros.size() ? static_cast<std::size_t>(left) : zeros.size();
        expected.Update(zeros.data(), piece);
        left -= piece;
    }
    expected.Update("x", 1);
    const std::string text = ondrel::DigestText(expected.Finish());
    zeros = {};
    rlimit limit{256u << 20, 256u << 20};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
    EXPECT_EQ(AdvancedCheck(file.c_str(), ("MD5=" + text).c_str()), 1);
    EXPECT_EQ(AdvancedCheck(file.c_str(), ("MD5=" + NoBytes()).c_str()), 0);
}

TEST(AddressSpace, Md5OfAFileLargerThanTheAddressSpace) {
    if (ondrel::testing::kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory needs far more address space than the limit";
    EXPECT_TRUE(ChildPassesWithin("AddressSpaceChild.*", std::chrono::seconds(120)));
}

#endif

// A reader over bytes kept in memory delivers every range exactly as a
// reader of the file they came from, and reads nothing from the system.
TEST(KeptBytes, EveryRangeAsFromTheFile) {
    TempDir dir;
    const std::string bytes = ondrel::testing::CountingBytes(3 * platform::FileReader::kChunk + 17);
    const std::string path = dir.Write("f", bytes);
    platform::Result<platform::FileReader, platform::OpenFailure> file =
        platform::FileReader::Open(path, platform::Share::ReadWrite);
    ASSERT_TRUE(file);
    const platform::FileBytes kept{{reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()},
                                   file->file().IdentityAtOpen()};
    platform::FileReader memory = platform::FileReader::Over(kept);
    ASSERT_TRUE(memory);
    EXPECT_EQ(memory.Size(), file->Size());
    EXPECT_EQ(memory.file().IdentityAtOpen(), file->file().IdentityAtOpen());
    platform::FailReadsAfter(0);  // the file reader below reads through the seam; the memory reader never does
    struct StopFailing {
        ~StopFailing() { platform::StopFailingReads(); }
    } stop;
    const std::uint64_t size = bytes.size(), chunk = platform::FileReader::kChunk;
    const std::uint64_t ranges[][2] = {{0, 0}, {0, 1}, {0, size}, {5, chunk}, {chunk - 1, 2}, {size - 1, 1},
                                       {size - 1, 2}, {size, 1}, {size + 9, 4}, {17, platform::FileReader::kToEnd}};
    for (const auto& [offset, count] : ranges) {
        std::string got;
        const platform::RangeEnd end = memory.ReadRange(offset, count, [&](const unsigned char* p, std::size_t n) {
            got.append(reinterpret_cast<const char*>(p), n);
        });
        // At most the file's size, which fits a size_t.
        const auto available = static_cast<std::size_t>(offset < size ? std::min(count, size - offset) : 0);
        const auto from = static_cast<std::size_t>(std::min(offset, size));
        EXPECT_EQ(got, bytes.substr(from, available)) << offset << "+" << count;
        EXPECT_EQ(end, count > available ? platform::RangeEnd::EndOfFile : platform::RangeEnd::Complete)
            << offset << "+" << count;
        std::string exact(available, '\0');
        EXPECT_EQ(memory.ReadAt(offset, exact.data(), exact.size()), offset <= size) << offset;
        if (count <= available) {
            EXPECT_EQ(memory.ReadAt(offset, exact.data(), exact.size()), true);
            EXPECT_EQ(exact, bytes.substr(from, available));
        }
    }
    // The file reader meets the seam: the memory reader was not counted.
    char one = 0;
    EXPECT_FALSE(file->ReadAt(0, &one, 1));
    // Moved from, a memory reader is no reader.
    platform::FileReader moved = std::move(memory);
    EXPECT_TRUE(moved);
    EXPECT_FALSE(memory);
}
