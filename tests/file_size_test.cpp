// Measuring files and the three size rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "checks/file_size.h"
#include "ondrel.h"
#include "tests/support/test_files.h"

#ifdef _WIN32
#include <windows.h>
#endif

using ondrel::testing::TempDir;

class FileSizeRules : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir.Write("hundred.bin", ondrel::testing::CountingBytes(100));
    int Check(const std::string& list) { return AdvancedCheck(file.c_str(), list.c_str()); }
};

struct SizeCase {
    const char* list;
    int result;
};

class FileSizeRuleCases : public FileSizeRules, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FileSizeRuleCases, OnHundredByteFile) { EXPECT_EQ(Check(GetParam().list), GetParam().result) << GetParam().list; }

INSTANTIATE_TEST_SUITE_P(
    Rules, FileSizeRuleCases,
    ::testing::Values(SizeCase{"FILESIZE=100", 1}, SizeCase{"FILESIZE=99", 0}, SizeCase{"FILESIZE=0100", 0},
                      SizeCase{"FILESIZE=+100", 0}, SizeCase{"FILESIZE=$64", 0}, SizeCase{"FILESIZE= 100", 0},
                      SizeCase{"\"FILESIZE=100 \"", 0}, SizeCase{"FILESIZE>=100", 1}, SizeCase{"FILESIZE<=100", 1},
                      SizeCase{"FILESIZE>=101", 0}, SizeCase{"FILESIZE<=99", 0}, SizeCase{"FILESIZE>=-5", 1},
                      SizeCase{"FILESIZE<=-5", 0}, SizeCase{"FILESIZE>=$64", 1}, SizeCase{"FILESIZE>=x65", 0},
                      SizeCase{"FILESIZE<=0x64", 1}, SizeCase{"FILESIZE<=X63", 0}, SizeCase{"FILESIZE<=$FFFFFFFF", 0},
                      SizeCase{"FILESIZE>=$FFFFFFFF", 1}, SizeCase{"FILESIZE>=2147483647", 0},
                      SizeCase{"FILESIZE<=2147483647", 1},
                      // An invalid bound fails as an ordinary rule: a following FLAGIFNOFILE is not reached.
                      SizeCase{"\"FILESIZE>=100 \"", 0}, SizeCase{"\"FILESIZE<=\t100\"", 0},
                      SizeCase{"FILESIZE<=--1", 0}, SizeCase{"FILESIZE<=2147483648", 0},
                      SizeCase{"FILESIZE<=2147483648,FLAGIFNOFILE=", 0}, SizeCase{"FILESIZE>=,FLAGIFNOFILE=", 0}));

TEST_F(FileSizeRules, MissingFileMeasuresZero) {
    std::string missing = dir.File("missing.bin");
    EXPECT_EQ(ondrel::FileSizeLow32(missing), 0u);
    EXPECT_EQ(AdvancedCheck(missing.c_str(), "FILESIZE=0,FILESIZE<=0,FILESIZE>=0,FILESIZE>=-1"), 1);
    EXPECT_EQ(AdvancedCheck(missing.c_str(), "FILESIZE>=1"), 0);
    EXPECT_EQ(AdvancedCheck(missing.c_str(), "FILESIZE=,FLAGIFNOFILE="), 0);
}

TEST_F(FileSizeRules, DirectoryMeasuresZero) {
    std::filesystem::create_directory(dir.Path() / "sub");
    std::string sub = dir.File("sub");
    EXPECT_EQ(ondrel::FileSizeLow32(sub), 0u);
    EXPECT_EQ(AdvancedCheck(sub.c_str(), "FILESIZE=0"), 1);
}

TEST_F(FileSizeRules, WildcardMeasuresAMatchingEntry) {
    TempDir only;
    only.Write("alpha.dat", std::string(7, 'a'));
    EXPECT_EQ(ondrel::FileSizeLow32(only.File("al*.dat")), 7u);
    EXPECT_EQ(ondrel::FileSizeLow32(only.File("alph?.dat")), 7u);
    EXPECT_EQ(ondrel::FileSizeLow32(only.File("*.dat")), 7u);
    EXPECT_EQ(ondrel::FileSizeLow32(only.File("b*")), 0u);
    EXPECT_EQ(ondrel::FileSizeLow32(only.File("alph?")), 0u);
}

TEST_F(FileSizeRules, EmptyFileMeasuresZero) {
    std::string empty = dir.Write("empty", "");
    EXPECT_EQ(ondrel::FileSizeLow32(empty), 0u);
}

TEST(FileSizeLarge, SizeIsTakenModulo4GiB) {
    TempDir dir;
    std::string path = dir.File("sparse.bin");
    ondrel::testing::MakeSparseFile(path, (std::uint64_t{1} << 32) + 10);
    EXPECT_EQ(ondrel::FileSizeLow32(path), 10u);
    EXPECT_EQ(AdvancedCheck(path.c_str(), "FILESIZE=10,FILESIZE<=10"), 1);
}

// Wildcards as FindFirstFileA matches them. Each row has a folder of its
// own holding its names, so that at most one of them matches and the order
// in which the folder lists its entries plays no part. The same rows run
// natively and, in the Windows build, against FindFirstFileA itself.
struct WildcardCase {
    const char* name;
    const char* pattern;
    std::vector<const char*> files;
    const char* found;  // the file the pattern finds, or nullptr
    // A "?" that meets a "." or the end of the name: Windows lets the run of
    // "?" match nothing there, and never the "."; Wine's FindFirstFileA
    // matches one character, the "." too, so these rows run where Windows does.
    bool questionMarkAtDot = false;
};

// Whether this program runs under Wine rather than Windows.
bool UnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

class Wildcards : public ::testing::TestWithParam<WildcardCase> {};

TEST_P(Wildcards, FindTheSameEntryAsFindFirstFile) {
    const WildcardCase& row = GetParam();
    if (row.questionMarkAtDot && UnderWine()) GTEST_SKIP() << "Wine matches \"?\" at a \".\" unlike Windows";
    TempDir folder;
    // Sizes 1, 2, 3, ... tell the files apart.
    for (std::size_t i = 0; i < row.files.size(); ++i) folder.Write(row.files[i], std::string(i + 1, 'x'));
    const std::string pattern = folder.File(row.pattern);
    std::uint64_t expected = 0;
    for (std::size_t i = 0; i < row.files.size(); ++i)
        if (row.found && std::string(row.files[i]) == row.found) expected = i + 1;
    EXPECT_EQ(ondrel::FileSizeLow32(pattern), expected) << row.pattern;
    EXPECT_EQ(AdvancedCheck(pattern.c_str(), ("FILESIZE=" + std::to_string(expected)).c_str()), 1) << row.pattern;
}

INSTANTIATE_TEST_SUITE_P(
    FindFirstFile, Wildcards,
    ::testing::Values(
        // Letter case is ignored, in the pattern and in the names.
        WildcardCase{"StarDotUpperFindsLower", "*.TXT", {"a.txt"}, "a.txt"},
        WildcardCase{"StarDotLowerFindsUpper", "*.txt", {"B.TXT"}, "B.TXT"},
        WildcardCase{"QuestionMarkAnyCase", "A.T?T", {"a.txt"}, "a.txt"},
        // A "." before "*" may match the end of a name without a dot.
        WildcardCase{"NameDotStarFindsNameWithoutDot", "noext.*", {"noext"}, "noext"},
        WildcardCase{"StarDotStarFindsNameWithoutDot", "n*.*", {"noext"}, "noext"},
        WildcardCase{"NameDotStarFindsExtension", "a.*", {"a.txt"}, "a.txt"},
        WildcardCase{"DotStarNeedsTheName", "noex.*", {"noext"}, nullptr},
        // A run of "?" at the end of the pattern may match nothing.
        WildcardCase{"TrailingQuestionMark", "a.txt?", {"a.txt"}, "a.txt", true},
        WildcardCase{"TrailingQuestionMarks", "noext??", {"noext"}, "noext", true},
        WildcardCase{"QuestionMarkMatchesOne", "noex?", {"noext"}, "noext"},
        WildcardCase{"QuestionMarkBeforeTheEndMatchesOne", "a.t?", {"a.txt"}, nullptr},
        WildcardCase{"QuestionMarkInTheMiddle", "?oext", {"noext"}, "noext"},
        // ... and so may a run of "?" that meets the name's ".".
        WildcardCase{"QuestionMarkBeforeDot", "a?.txt", {"a.txt"}, "a.txt", true},
        WildcardCase{"QuestionMarkDoesNotMatchTheDot", "a?txt", {"a.txt"}, nullptr, true},
        // Stars.
        WildcardCase{"StarInside", "n*t", {"noext"}, "noext"},
        WildcardCase{"StarsAroundQuestionMarks", "*?*?*.txt", {"ab.txt"}, "ab.txt", true},
        WildcardCase{"StarsTakeAnyRun", "*a*b*c*", {"xaxbxcx"}, "xaxbxcx"},
        WildcardCase{"StarsKeepTheOrder", "*c*b*a*", {"xaxbxcx"}, nullptr},
        WildcardCase{"StarAfterAll", "a.txt*", {"a.txt"}, "a.txt"},
        WildcardCase{"StarDotShortExtension", "*.t", {"a.txt"}, nullptr},
        WildcardCase{"StarDotExtensionPrefix", "*.tx", {"a.txt"}, nullptr},
        WildcardCase{"LastExtensionCounts", "*.txt", {"a.txt.bak"}, nullptr},
        WildcardCase{"OneOfSeveral", "*.bin", {"a.txt", "b.bin", "noext"}, "b.bin"},
        WildcardCase{"NoneOfSeveral", "*.dat", {"a.txt", "b.bin", "noext"}, nullptr}),
    ondrel::testing::CaseName());
