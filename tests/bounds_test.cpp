// Hostile and exhausting inputs: no input can crash, hang or swamp a call,
// and a process out of its own resources never answers "holds".
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "checks/ini_rule.h"
#include "checks/rules.h"
#include "checks/section_rules.h"
#include "ondrel.h"
#include "platform/file.h"
#include "platform/pe/pe_layout.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/digests.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/names.h"
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using ondrel::testing::ChildPassesWithin;
using ondrel::testing::DigestOfBytes;
using ondrel::testing::TempDir;
namespace platform = ondrel::platform;

namespace {

int Check(const std::string& file, const std::string& list) { return AdvancedCheck(file.c_str(), list.c_str()); }

// An image whose count section headers each cover the whole file.
std::string OverlappingImage(std::size_t count) {
    ondrel::testing::PeImage image;
    image.sections.assign(count, {".s", std::string()});
    ondrel::testing::PeImage::Built built = image.Build();
    std::string bytes = built.bytes + std::string(4096, 'x');
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t header = built.sectionTable + i * ondrel::pe::section_header::kSize;
        ondrel::testing::Put32(bytes, header + ondrel::pe::section_header::kPointerToRawData, 0);
        ondrel::testing::Put32(bytes, header + ondrel::pe::section_header::kSizeOfRawData,
                               static_cast<std::uint32_t>(bytes.size()));
    }
    return bytes;
}

}  // namespace

// Why an open failed, from the system's own code --------------------------------

TEST(OpenFailure, SystemCodesSayWhetherTheProcessIsExhausted) {
    struct Case {
        unsigned long code;
        platform::OpenFailure failure;
    };
#ifdef _WIN32
    const Case cases[] = {
        {ERROR_FILE_NOT_FOUND, platform::OpenFailure::NotFound},
        {ERROR_PATH_NOT_FOUND, platform::OpenFailure::NotFound},
        {ERROR_SHARING_VIOLATION, platform::OpenFailure::SharingViolation},
        {ERROR_ACCESS_DENIED, platform::OpenFailure::AccessDenied},
        {ERROR_TOO_MANY_OPEN_FILES, platform::OpenFailure::OutOfDescriptors},
        {ERROR_NOT_ENOUGH_MEMORY, platform::OpenFailure::OutOfMemory},
        {ERROR_NO_SYSTEM_RESOURCES, platform::OpenFailure::OutOfMemory},
        {ERROR_OUTOFMEMORY, platform::OpenFailure::OutOfMemory},
        {ERROR_GEN_FAILURE, platform::OpenFailure::Other},
    };
#else
    const Case cases[] = {
        {ENOENT, platform::OpenFailure::NotFound},       {ENOTDIR, platform::OpenFailure::NotFound},
        {EACCES, platform::OpenFailure::AccessDenied},   {EWOULDBLOCK, platform::OpenFailure::SharingViolation},
        {EMFILE, platform::OpenFailure::OutOfDescriptors}, {ENFILE, platform::OpenFailure::OutOfDescriptors},
        {ENOMEM, platform::OpenFailure::OutOfMemory},    {EIO, platform::OpenFailure::Other},
    };
#endif
    for (const Case& c : cases) {
        EXPECT_EQ(platform::OpenFailureOfError(c.code), c.failure) << c.code;
        EXPECT_EQ(platform::IsExhaustion(c.failure), c.failure == platform::OpenFailure::OutOfDescriptors ||
                                                         c.failure == platform::OpenFailure::OutOfMemory);
    }
}

// "SECMD5" digests at most 16 times the file -------------------------------------

TEST(SectionBound, OverlappingSectionsDigestAtMostSixteenTimesTheFile) {
    TempDir dir;
    ondrel::testing::ClockAhead settled;
    struct Case {
        std::size_t sections;
        bool digested;
    };
    for (const Case c : {Case{2, true}, Case{16, true}, Case{17, false}, Case{10000, false}}) {
        const std::string bytes = OverlappingImage(c.sections);
        const std::string file = dir.WriteAged("overlap" + std::to_string(c.sections) + ".dll", bytes);
        std::string all;
        for (std::size_t i = 0; c.digested && i < c.sections; ++i) all += bytes;
        const std::string digest = c.digested ? DigestOfBytes(all) : std::string();
        EXPECT_EQ(ondrel::AllSectionsDigest(file).text, digest) << c.sections;
        EXPECT_EQ(Check(file, "SECMD5=" + digest), 1) << c.sections;
        // Beyond the bound nothing is kept: the answer stays that of the file.
        EXPECT_EQ(Check(file, "SECMD5=" + digest), 1) << c.sections;
        EXPECT_FALSE(ondrel::AllSectionsDigest(file).readFrom && !c.digested) << c.sections;
    }
}

// The "INI" fragment search sets up in linear time -------------------------------

TEST(IniBoundChild, LongFragmentAnswersPromptly) {
    ONDREL_ONLY_IN_CHILD();
    TempDir dir;
    const std::string fragment(20u << 20, 'a');
    const std::string file = dir.Write("long.ini", "[S]\nk=" + fragment + "\n[T]\nk=" + std::string(1000, 'a') + "\n");
    ondrel::RuleTrace trace;
    EXPECT_TRUE(ondrel::IniRule(ondrel::RuleContext{file, nullptr}, fragment, trace));
    EXPECT_FALSE(ondrel::IniRule(ondrel::RuleContext{file, nullptr}, fragment + "a", trace));
}

TEST(IniBound, LongFragmentAnswersPromptly) {
    // A deadline against a hang, not a timing: the search answers in well under a second.
    EXPECT_TRUE(ChildPassesWithin("IniBoundChild.*", std::chrono::seconds(60)));
}

#ifndef _WIN32

// Memory: a call holds little beyond what it is given ------------------------------

// A file of the given parts, written piece by piece.
std::string WriteLarge(const TempDir& dir, const std::string& name, const std::vector<std::pair<std::string, std::size_t>>& parts) {
    const std::string path = dir.File(name);
    std::ofstream out(path, std::ios::binary);
    for (const auto& [piece, times] : parts)
        for (std::size_t i = 0; i < times; ++i) out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    return path;
}

TEST(MemoryBoundChild, LongListsAndLargeIniFiles) {
    ONDREL_ONLY_IN_CHILD();
    TempDir dir;
    const std::string small = dir.Write("small.bin", "abc");
    // A line of 160 MiB, and a million sections each holding the fragment
    // beside a million that do not.
    const std::string longLine = WriteLarge(dir, "long.ini", {{"[S]\nk=", 1}, {std::string(1 << 20, 'a'), 160}, {"needle\n", 1}});
    std::string manySections;
    for (int i = 0; i < 1000; ++i) manySections += "[s" + std::to_string(i) + "]\nk=needle\n[t" + std::to_string(i) + "]\n";
    const std::string many = WriteLarge(dir, "many.ini", {{manySections, 1}});
    // So that the thousand names above repeat as a million distinct ones, a
    // counter goes in front of each block.
    {
        std::ofstream out(many, std::ios::binary | std::ios::app);
        for (int block = 0; block < 1000; ++block) {
            std::string text;
            for (int i = 0; i < 1000; ++i)
                text += "[b" + std::to_string(block) + "s" + std::to_string(i) + "]\nk=needle\n[b" + std::to_string(block) +
                        "t" + std::to_string(i) + "]\n";
            out << text;
        }
    }
    // A check list of 100 MB whose entries all hold.
    std::string list;
    while (list.size() < (100u << 20)) list += "FLAGIFNOFILE=x,";
    list += "FILESIZE=3";

    ondrel::testing::LimitAddressSpaceToNowAnd(32u << 20);
    EXPECT_EQ(Check(small, list), 1);
    EXPECT_EQ(Check(longLine, "INI=aaaneedle"), 1);
    EXPECT_EQ(Check(longLine, "INI=needlex"), 0);
    EXPECT_EQ(Check(many, "INI=needle"), 1);
}

TEST(MemoryBound, LongListsAndLargeIniFiles) {
    if (ondrel::testing::kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory needs far more address space than the limit";
    EXPECT_TRUE(ChildPassesWithin("MemoryBoundChild.*", std::chrono::seconds(300)));
}

// Wildcards: constant stack whatever the pattern ----------------------------------

TEST(WildcardStack, LongPatternOnASmallStack) {
    TempDir dir;
    dir.Write("ab.ini", "[S]\nk=v\n");
    std::string pattern;
    while (pattern.size() < 24000) pattern += "*?";
    const std::string name = dir.File(pattern);
    struct Run {
        std::string name;
        int answers[3] = {-1, -1, -1};
    } run{name};
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
    pthread_t thread;
    auto body = [](void* p) -> void* {
        Run& r = *static_cast<Run*>(p);
        r.answers[0] = AdvancedCheck(r.name.c_str(), "FILESIZE=0");
        r.answers[1] = AdvancedCheck(r.name.c_str(), "ENDMD5=1|X");
        r.answers[2] = AdvancedCheck(r.name.c_str(), "INI=v");
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, body, &run), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    // No entry has the 12,000 characters the pattern needs.
    EXPECT_EQ(run.answers[0], 1);
    EXPECT_EQ(run.answers[1], 0);
    EXPECT_EQ(run.answers[2], 0);
    // The same pattern, short enough to match.
    EXPECT_EQ(Check(dir.File("*?*?.ini"), "FILESIZE=8"), 1);
}

// Files of size 0 that are not empty, and reads that would block -------------------

TEST(SizeZeroFiles, NothingIsReadPastTheSizeAtOpen) {
    // /proc files tell size 0 and yet hold bytes: nothing is read from them.
    const std::string noBytes = ondrel::testing::kEmptyDigestText;
    EXPECT_EQ(Check("/proc/self/status", "SIZEMD5=0|9|" + noBytes), 1);
    EXPECT_EQ(Check("/proc/self/status", "ENDMD5=0|" + noBytes), 1);
    EXPECT_EQ(Check("/proc/self/status", "MD5=" + noBytes), 1);
}

TEST(SizeZeroFilesChild, KernelMessagesAreNotWaitedFor) {
    ONDREL_ONLY_IN_CHILD();
    // Read from /proc/kmsg blocks until the kernel logs something, and takes
    // that message from whoever else reads the log.
    const std::string noBytes = ondrel::testing::kEmptyDigestText;
    EXPECT_EQ(Check("/proc/kmsg", "SIZEMD5=0|99|" + noBytes + ",ENDMD5=0|" + noBytes + ",ENDMD5=16|" + noBytes), 1);
}

TEST(SizeZeroFiles, KernelMessagesAreNotWaitedFor) {
    if (access("/proc/kmsg", R_OK) != 0) GTEST_SKIP() << "/proc/kmsg cannot be read here";
    EXPECT_TRUE(ChildPassesWithin("SizeZeroFilesChild.*", std::chrono::seconds(30)));
}

// A FIFO is never opened for reading --------------------------------------------------

TEST(Fifo, AWriterWaitingAtItStaysWaitingAndLosesNothing) {
    TempDir dir;
    const std::string fifo = dir.File("queue");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        // Blocks in the open until a reader opens the other end.
        const int fd = open(fifo.c_str(), O_WRONLY);
        const bool written = fd >= 0 && write(fd, "payload", 7) == 7;
        _exit(written ? 0 : 1);
    }
    usleep(100 * 1000);  // the writer waits in its open now
    for (const char* list : {"CRC32=00000000,FLAGIFNOFILE=", "MD5=X", "SIZEMD5=0|3|X", "ENDMD5=4|X", "SECSIZE=0",
                             "SECMD5=", "ICONMD5=", "INI=payload,FLAGIFNOFILE="})
        Check(fifo, list);
    usleep(100 * 1000);
    int status = 0;
    EXPECT_EQ(waitpid(writer, &status, WNOHANG), 0) << "the writer was let through";
    // Its data is all there for the reader it waited for.
    const int reader = open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    char got[16] = {};
    EXPECT_EQ(read(reader, got, sizeof got), 7);
    EXPECT_STREQ(got, "payload");
    close(reader);
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Out of descriptors: nothing holds, and nothing is remembered ----------------------

TEST(DescriptorsChild, ExhaustionAnswersZeroWhateverFollows) {
    ONDREL_ONLY_IN_CHILD();
    TempDir dir;
    ondrel::testing::ClockAhead settled;
    ondrel::testing::PeImage image;
    image.sections = {{".text", "code"}};
    image.resources = {{ondrel::testing::PeKey::Id(10), ondrel::testing::PeKey::Id(1), 0x409, "data"}};
    const std::string file = dir.WriteAged("image.dll", image.Bytes());
    const std::string ini = dir.WriteAged("f.ini", "[S]\nk=v\n");
    const std::string md5 = DigestOfBytes(image.Bytes());
    const std::string sections = ondrel::AllSectionsDigest(file).text;
    const std::string wild = dir.File("imag?.dll");

    // Every descriptor the process may have is taken.
    std::vector<int> taken;
    rlimit limit{64, 64};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
    ASSERT_EQ(errno, EMFILE);

    const std::string rescued[] = {"CRC32=DEADBEEF", "MD5=WRONG", "ENDMD5=4|X", "SIZEMD5=0|3|X", "SECSIZE=1",
                                   "SSECMD5=X",      "SECMD5=X",  "ICONMD5=X",  "RESMD5=10|1|X", "INI=w"};
    for (const std::string& rule : rescued)
        EXPECT_EQ(Check(rule.rfind("INI", 0) == 0 ? ini : file, rule + ",FLAGIFNOFILE="), 0) << rule;
    EXPECT_EQ(Check(ini, "INI=w,FLAGIFNOFILE="), 0);
    EXPECT_EQ(Check(wild, "FILESIZE=1,FLAGIFNOFILE="), 0);  // the directory cannot be opened
    EXPECT_EQ(Check(file, "MD5=" + ondrel::testing::kEmptyDigestText), 0);

    for (int fd : taken) close(fd);
    // Nothing was remembered of the calls that could not read.
    EXPECT_EQ(Check(file, "MD5=" + md5), 1);
    EXPECT_EQ(Check(file, "MD5=" + ondrel::testing::kEmptyDigestText), 0);
    EXPECT_EQ(Check(file, "SECMD5=" + sections), 1);
    EXPECT_EQ(Check(ini, "INI=v"), 1);
}

TEST(Descriptors, ExhaustionAnswersZeroWhateverFollows) {
    EXPECT_TRUE(ChildPassesWithin("DescriptorsChild.*", std::chrono::seconds(60)));
}

#else

// Names of devices are refused before anything is opened ---------------------------

TEST(DeviceNames, AreToldByTheirForm) {
    struct Case {
        const char* name;
        bool device;
    };
    const Case cases[] = {
        {"CON", true},           {"nul", true},           {"C:\\dir\\NUL.txt", true}, {"com1", true},
        {"COM9.log", true},      {"LPT3", true},          {"conin$", true},           {"aux  .c", true},
        {"\\\\.\\pipe\\x", true}, {"\\\\?\\GLOBALROOT\\x", true}, {"\\\\server\\pipe\\x", true},
        {"\\\\?\\UNC\\server\\mailslot\\x", true},
        {"com10", false},        {"console", false},      {"C:\\nul\\file.txt", false}, {"\\\\?\\C:\\file.txt", false},
        {"\\\\server\\share\\f.txt", false},               {"file.txt", false},         {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::IsDeviceName(c.name), c.device) << c.name;
}

#endif
