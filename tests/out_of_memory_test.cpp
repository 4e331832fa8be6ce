// Running out of memory anywhere in a call: the export answers 0 (or the true
// answer, where the allocations it needed succeeded) and nothing escapes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "ondrel.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"

namespace {
// Allocations left before operator new fails; negative: never fails.
long g_allowance = -1;
bool g_failed = false;
}  // namespace

void* operator new(std::size_t size) {
    if (g_allowance == 0) {
        g_failed = true;
        throw std::bad_alloc();
    }
    if (g_allowance > 0) --g_allowance;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// The replaced operator new takes its memory from malloc: free is its match,
// which GCC cannot see where it inlines a call of operator delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

// Calls the check with the first, second, ... 400th allocation failing in
// turn: nothing may escape, and the answer is 1 when no allocation
// failed, else 0 (a failure in a rule throws and leaves the result false; in
// the splitting, the export answers 0). Answers how many runs hit a failure.
int CheckUnderEachAllocationFailure(const std::string& file, const char* list) {
    int failures = 0;
    for (long allowance = 0; allowance < 400; ++allowance) {
        g_failed = false;
        g_allowance = allowance;
        ondrel_result got = 0;
        EXPECT_NO_THROW(got = AdvancedCheck(file.c_str(), list)) << "allowance " << allowance;
        g_allowance = -1;
        EXPECT_EQ(got, g_failed ? 0 : 1) << "allowance " << allowance;
        failures += g_failed;
    }
    return failures;
}

}  // namespace

TEST(OutOfMemory, EveryAllocationFailingInTurnAnswersWithoutThrowing) {
    ondrel::testing::TempDir dir;
    const std::string file = dir.Write("f.bin", "12345");
    const char* list = "\"FILESIZE=5\",filesize>=1,FILESIZE<=$10,BOOM,FLAGIFNOFILE=";
    ASSERT_EQ(AdvancedCheck(file.c_str(), list), 0);  // BOOM is unknown: evaluation stops there
    // Entries longer than a string holds in place, so that each takes memory.
    const char* holding = "FILESIZE=5,FILESIZE>=00000000000000000001,FILESIZE<=$000000000000000010";
    ASSERT_EQ(AdvancedCheck(file.c_str(), holding), 1);

    EXPECT_GT(CheckUnderEachAllocationFailure(file, holding), 3);
}

TEST(OutOfMemory, IniRuleFailsWithoutThrowing) {
    ondrel::testing::TempDir dir;
    const std::string file = dir.Write("f.ini", "[Main]\r\nPath = C:\\Tools\\app.exe\r\n[Main]\r\nk=tools\r\n");
    const char* list = "INI=tools,INI=TOOLS";
    ASSERT_EQ(AdvancedCheck(file.c_str(), list), 1);
    EXPECT_GT(CheckUnderEachAllocationFailure(file, list), 10);
}

// With allocation failing at one point or another, a rule that fails and a
// following FLAGIFNOFILE never answer 1: running out of memory ends the
// call with 0, where a rule that could not read its file would be rescued.
TEST(OutOfMemory, ExhaustionIsNeverRescued) {
    ondrel::testing::TempDir dir;
    ondrel::testing::PeImage image;
    image.sections = {{".text", "code"}};
    image.resources = {{ondrel::testing::PeKey::Id(10), ondrel::testing::PeKey::Id(1), 0x409, "data"}};
    const std::string file = dir.Write("image.dll", image.Bytes());
    const std::string ini = dir.Write("f.ini", "[S]\nk=v\n");
    for (const char* rule : {"MD5=WRONG", "SECMD5=WRONG", "SSECMD5=WRONG", "RESMD5=10|1|WRONG", "SIZEMD5=0|3|WRONG",
                             "ENDMD5=3|WRONG", "CRC32=WRONG", "INI=WRONG"}) {
        const std::string list = std::string(rule) + ",FLAGIFNOFILE=";
        const std::string& target = std::string(rule).rfind("INI", 0) == 0 ? ini : file;
        int answeredOne = 0;
        for (long allowance = 0; allowance < 200; ++allowance) {
            g_allowance = allowance;
            ondrel_result got = 1;
            EXPECT_NO_THROW(got = AdvancedCheck(target.c_str(), list.c_str()));
            g_allowance = -1;
            answeredOne += got;
        }
        EXPECT_EQ(answeredOne, 0) << rule;
    }
}
