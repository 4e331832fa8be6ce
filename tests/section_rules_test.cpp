// "SECSIZE", "SSECMD5" and "SECMD5" over images built by the test writer.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>

#include "checks/caches.h"
#include "checks/section_rules.h"
#include "checksums/md5.h"
#include "ondrel.h"
#include "platform/reader.h"
#include "tests/support/digests.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"

using ondrel::testing::DigestOfBytes;
using ondrel::testing::kEmptyDigestText;
using ondrel::testing::CountingBytes;
using ondrel::testing::PeImage;
using ondrel::testing::PeSection;
using ondrel::testing::TempDir;

namespace {


class SectionRules : public ::testing::Test {
protected:
    TempDir dir;
    int counter = 0;
    std::string Write(const std::string& bytes) { return dir.Write("image" + std::to_string(counter++) + ".dll", bytes); }
    static int Check(const std::string& file, const std::string& list) { return AdvancedCheck(file.c_str(), list.c_str()); }
};

TEST_F(SectionRules, SizesDigestsAndNames) {
    const std::string code = CountingBytes(300), data(40, 'd');
    for (bool plus : {false, true}) {
        PeImage image;
        image.pe32plus = plus;
        image.sections = {{"CODE", code}, {"DATA", data}};
        std::string file = Write(image.Bytes());
        EXPECT_EQ(ondrel::SectionRawSizeTotal(file), 340);
        EXPECT_EQ(ondrel::NamedSectionDigest("CODE", file), DigestOfBytes(code));
        EXPECT_EQ(ondrel::NamedSectionDigest("DATA", file), DigestOfBytes(data));
        EXPECT_EQ(ondrel::NamedSectionDigest("code", file), "");
        EXPECT_EQ(ondrel::AllSectionsDigest(file).text, DigestOfBytes(code + data));
        EXPECT_EQ(Check(file, "SECSIZE=340,SSECMD5=" + DigestOfBytes(code) + ",SSECMD5=-" + DigestOfBytes(code) +
                                  ",SSECMD5=DATA-" + DigestOfBytes(data) + ",SECMD5=" + DigestOfBytes(code + data)),
                  1);
        EXPECT_EQ(Check(file, "SSECMD5=code-" + DigestOfBytes(code)), 0);
        EXPECT_EQ(Check(file, "SECSIZE=+340"), 0);
        EXPECT_EQ(Check(file, "SECSIZE=0340"), 0);
    }
}

TEST_F(SectionRules, NoSections) {
    std::string file = Write(PeImage{}.Bytes());
    EXPECT_EQ(ondrel::SectionRawSizeTotal(file), 0);
    EXPECT_EQ(ondrel::AllSectionsDigest(file).text, kEmptyDigestText);
    EXPECT_EQ(ondrel::NamedSectionDigest("CODE", file), "");
}

TEST_F(SectionRules, EightCharacterNamesAndLongerWantedNames) {
    PeImage image;
    image.sections = {{"ABCDEFGH", "eight"}};
    std::string file = Write(image.Bytes());
    EXPECT_EQ(ondrel::NamedSectionDigest("ABCDEFGH", file), DigestOfBytes("eight"));
    EXPECT_EQ(ondrel::NamedSectionDigest("ABCDEFGHI", file), "");
    EXPECT_EQ(ondrel::NamedSectionDigest("ABCDEFG", file), "");
}

TEST_F(SectionRules, TheLastSectionOfANameWins) {
    PeImage image;
    image.sections = {{"CODE", "first"}, {"CODE", "second"}};
    EXPECT_EQ(ondrel::NamedSectionDigest("CODE", Write(image.Bytes())), DigestOfBytes("second"));
    image.sections = {{"CODE", "first"}, {"CODE", ""}};
    EXPECT_EQ(ondrel::NamedSectionDigest("CODE", Write(image.Bytes())), "");
}

TEST_F(SectionRules, RegionsPastTheEndAndOverlaps) {
    PeImage image;
    image.sections = {{"A", CountingBytes(16)}, {"B", "", 16u, {}}, {"C", "", 100u, 0x7FFFFF00u}};
    PeImage::Built built = image.Build();
    // B points at A's 16 bytes; C starts beyond the end of the file.
    const std::uint32_t aStart = static_cast<std::uint32_t>(built.bytes.size() - 0x200);
    built.bytes[built.sectionTable + 40 + 20] = static_cast<char>(aStart & 0xFF);
    built.bytes[built.sectionTable + 40 + 21] = static_cast<char>(aStart >> 8);
    std::string file = Write(built.bytes);
    EXPECT_EQ(ondrel::AllSectionsDigest(file).text, DigestOfBytes(CountingBytes(16) + CountingBytes(16)));
    EXPECT_EQ(ondrel::NamedSectionDigest("C", file), kEmptyDigestText);

    // A region that runs past the end gives the bytes up to the end.
    PeImage tail;
    tail.sections = {{"T", "xyz", 5000u, {}}};
    std::string bytes = tail.Bytes();
    std::string file2 = Write(bytes);
    EXPECT_EQ(ondrel::NamedSectionDigest("T", file2), DigestOfBytes(bytes.substr(bytes.size() - 0x200)));
}

TEST_F(SectionRules, HugeFieldsAddNothing) {
    PeImage image;
    image.sections = {{"BIG", "abc", 0x80000000u, {}}, {"FAR", "def", 3u, 0x80000010u}, {"OK", "ghi"}};
    std::string file = Write(image.Bytes());
    EXPECT_EQ(ondrel::NamedSectionDigest("BIG", file), kEmptyDigestText);
    EXPECT_EQ(ondrel::NamedSectionDigest("FAR", file), kEmptyDigestText);
    EXPECT_EQ(ondrel::AllSectionsDigest(file).text, DigestOfBytes("ghi"));
}

TEST_F(SectionRules, SumsWrapIn32Bits) {
    PeImage image;
    image.sections = {{"A", "", 0xFFFFFFFFu, 0u}, {"B", "", 6u, 0u}};
    EXPECT_EQ(Check(Write(image.Bytes()), "SECSIZE=5"), 1);
    image.sections = {{"A", "", 0x40000000u, 0u}, {"B", "", 0x40000000u, 0u}};
    std::string file = Write(image.Bytes());
    EXPECT_EQ(ondrel::SectionRawSizeTotal(file), INT32_MIN);
    EXPECT_EQ(Check(file, "SECSIZE=-2147483648"), 1);
}

TEST_F(SectionRules, TableRunningPastTheEnd) {
    PeImage image;
    image.sections = {{"A", "one"}, {"B", "two"}};
    PeImage::Built built = image.Build();
    std::string bytes = built.bytes;
    bytes.resize(built.sectionTable + 40 + 39);  // the second header lacks its last byte
    // Both headers' data lie beyond the cut: only the sum of the whole header counts.
    std::string file = Write(bytes);
    EXPECT_EQ(ondrel::SectionRawSizeTotal(file), 3);
    EXPECT_EQ(ondrel::AllSectionsDigest(file).text, "");
    EXPECT_EQ(ondrel::NamedSectionDigest("A", file), "");
}

TEST_F(SectionRules, FilesThatAreNoImages) {
    std::string text = Write("MZ but no image at all, just some text");
    std::string missing = dir.File("missing.dll");
    std::string broken = PeImage{}.Bytes();
    broken[64] = 'X';
    std::string badSignature = Write(broken);
    for (const std::string& file : {text, missing, badSignature}) {
        EXPECT_EQ(Check(file, "SECSIZE=0,SSECMD5=,SECMD5="), 1) << file;
        EXPECT_EQ(Check(file, "SECMD5=" + kEmptyDigestText), 0) << file;
    }
}

TEST_F(SectionRules, SectionDigestIsCachedOnlyForTheFileItWasComputedFrom) {
    ondrel::testing::ClockAhead settled;
    PeImage image;
    image.sections = {{"CODE", "cached"}};
    const std::string file = Write(image.Bytes());
    ondrel::testing::Age(file);
    EXPECT_EQ(Check(file, "SECMD5=" + DigestOfBytes("cached")), 1);
    ondrel::platform::FailReadsAfter(0);
    EXPECT_EQ(Check(file, "SECMD5=" + DigestOfBytes("cached")), 1);  // not read again
    ondrel::platform::StopFailingReads();
    image.sections = {{"CODE", "changed"}};
    dir.WriteAged(std::filesystem::path(file).filename().string(), image.Bytes(), 7200);
    EXPECT_EQ(Check(file, "SECMD5=" + DigestOfBytes("cached")), 0);
    EXPECT_EQ(Check(file, "SECMD5=" + DigestOfBytes("changed")), 1);
    const std::string later = dir.File("later.dll");
    EXPECT_EQ(Check(later, "SECMD5="), 1);  // a missing file
    dir.WriteAged("later.dll", image.Bytes());
    EXPECT_EQ(Check(later, "SECMD5="), 0);
    EXPECT_EQ(Check(later, "SECMD5=" + DigestOfBytes("changed")), 1);
}

TEST(SectionNameText, StopsAtTheFirstZero) {
    EXPECT_EQ(ondrel::SectionNameText({'.', 't', 'e', 'x', 't', 0, 'z', 'z'}), ".text");
    EXPECT_EQ(ondrel::SectionNameText({'1', '2', '3', '4', '5', '6', '7', '8'}), "12345678");
    EXPECT_EQ(ondrel::SectionNameText({0, 'a', 0, 0, 0, 0, 0, 0}), "");
    EXPECT_EQ(ondrel::SectionNameText({' ', 'a', ',', 0, 0, 0, 0, 0}), " a,");
}

}  // namespace
