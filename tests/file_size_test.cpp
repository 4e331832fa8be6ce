// Measuring files and the three size rules.
#include <gtest/gtest.h>

#include <filesystem>

#include "checks/file_size.h"
#include "ondrel.h"
#include "tests/support/test_files.h"

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
    EXPECT_EQ(ondrel::FileSize(missing), 0u);
    EXPECT_EQ(AdvancedCheck(missing.c_str(), "FILESIZE=0,FILESIZE<=0,FILESIZE>=0,FILESIZE>=-1"), 1);
    EXPECT_EQ(AdvancedCheck(missing.c_str(), "FILESIZE>=1"), 0);
    EXPECT_EQ(AdvancedCheck(missing.c_str(), "FILESIZE=,FLAGIFNOFILE="), 0);
}

TEST_F(FileSizeRules, DirectoryMeasuresZero) {
    std::filesystem::create_directory(dir.Path() / "sub");
    std::string sub = dir.File("sub");
    EXPECT_EQ(ondrel::FileSize(sub), 0u);
    EXPECT_EQ(AdvancedCheck(sub.c_str(), "FILESIZE=0"), 1);
}

TEST_F(FileSizeRules, WildcardMeasuresAMatchingEntry) {
    TempDir only;
    only.Write("alpha.dat", std::string(7, 'a'));
    EXPECT_EQ(ondrel::FileSize(only.File("al*.dat")), 7u);
    EXPECT_EQ(ondrel::FileSize(only.File("alph?.dat")), 7u);
    EXPECT_EQ(ondrel::FileSize(only.File("*.dat")), 7u);
    EXPECT_EQ(ondrel::FileSize(only.File("b*")), 0u);
    EXPECT_EQ(ondrel::FileSize(only.File("alph?")), 0u);
}

TEST_F(FileSizeRules, EmptyFileMeasuresZero) {
    std::string empty = dir.Write("empty", "");
    EXPECT_EQ(ondrel::FileSizeText(empty), "0");
}

TEST(FileSizeLarge, SizeIsTakenModulo4GiB) {
    TempDir dir;
    std::string path = dir.File("sparse.bin");
    ondrel::testing::MakeSparseFile(path, (std::uint64_t{1} << 32) + 10);
    EXPECT_EQ(ondrel::FileSize(path), 10u);
    EXPECT_EQ(AdvancedCheck(path.c_str(), "FILESIZE=10,FILESIZE<=10"), 1);
}
