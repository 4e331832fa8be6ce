// The whole-file and byte-range digest rules: CRC32, MD5, ENDMD5, SIZEMD5.
#include <gtest/gtest.h>

#include <optional>

#include "checks/rules.h"
#include "checksums/crc32.h"
#include "checksums/hex.h"
#include "checksums/md5.h"
#include "ondrel.h"
#include "checks/file_digests.h"
#include "platform/file.h"
#include "tests/support/test_files.h"
#include "tests/support/digests.h"

#ifdef _WIN32
#include <windows.h>
#endif

using ondrel::RuleTrace;
using ondrel::testing::TempDir;

namespace {

std::string TextOf(const std::string& bytes) { return ondrel::testing::DigestOfBytes(bytes.data(), bytes.size()); }
std::string NoBytes() { return TextOf(""); }

// Bytes that differ from their position, so that a range read from the
// wrong place cannot give the right digest.
std::string Content(std::size_t length) {
    std::string bytes = ondrel::testing::CountingBytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(bytes[i] ^ (i >> 8) ^ 0x5A);
    return bytes;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    return text;
}

using Handler = ondrel::RuleHandler;

// A rule called as the engine calls it, without caches.
bool Call(Handler rule, const std::string& file, const std::string& value, RuleTrace& trace) {
    return rule(ondrel::RuleContext{file, nullptr}, value, trace);
}

}  // namespace

// One range rule on a file of 100 bytes: the value before the expected text,
// and which bytes it digests (nothing: the digest of no bytes; the empty
// text when no digest is computed).
struct RangeCase {
    const char* name;
    Handler rule;
    std::string valueBeforeExpected;
    enum { Bytes, NoDigest } kind = Bytes;
    std::size_t offset = 0;
    std::size_t length = 0;  // 0 bytes: the digest of no bytes
};

RangeCase Range(const char* name, Handler rule, std::string value, std::size_t offset, std::size_t length) {
    return {name, rule, std::move(value), RangeCase::Bytes, offset, length};
}
RangeCase NoBytesCase(const char* name, Handler rule, std::string value) {
    return {name, rule, std::move(value), RangeCase::Bytes, 0, 0};
}
RangeCase Invalid(const char* name, Handler rule, std::string value) {
    return {name, rule, std::move(value), RangeCase::NoDigest, 0, 0};
}

class RangeRules : public ::testing::TestWithParam<RangeCase> {
protected:
    TempDir dir;
    std::string bytes = Content(100);
    std::string file = dir.Write("hundred.bin", bytes);
};

TEST_P(RangeRules, ComputesTheRangeDigest) {
    const RangeCase& c = GetParam();
    const std::string expected =
        c.kind == RangeCase::NoDigest ? std::string() : TextOf(bytes.substr(c.offset, c.length));
    RuleTrace trace;
    EXPECT_TRUE(Call(c.rule, file, c.valueBeforeExpected + expected, trace));
    EXPECT_EQ(trace.text, expected);
    // Another expected text fails (the empty one, or a digest in small letters).
    RuleTrace again;
    EXPECT_FALSE(Call(c.rule, file, c.valueBeforeExpected + (expected.empty() ? "X" : Lower(TextOf("x"))), again));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RangeRules,
    ::testing::Values(
        Range("EndLast16", &ondrel::EndMd5Rule, "16|", 84, 16),
        Range("EndLast16Skip4", &ondrel::EndMd5Rule, "16|4|", 80, 16),
        Range("EndWholeFileByCount", &ondrel::EndMd5Rule, "100|", 0, 100),
        NoBytesCase("EndCountBeyondSize", &ondrel::EndMd5Rule, "101|"),
        // count + skip beyond the size, count alone within it: from byte 0.
        Range("EndSkipPastStart", &ondrel::EndMd5Rule, "60|50|", 0, 60),
        Range("EndZeroCountIsWholeFile", &ondrel::EndMd5Rule, "0|", 0, 100),
        Range("EndZeroCountWithSkip", &ondrel::EndMd5Rule, "0|7|", 0, 100),
        NoBytesCase("EndNegativeCount", &ondrel::EndMd5Rule, "-1|"),
        Range("EndHexNumbers", &ondrel::EndMd5Rule, "$10|0x4|", 80, 16),
        Range("EndSpacesBeforeNumbers", &ondrel::EndMd5Rule, "  16|  4|", 80, 16),
        NoBytesCase("EndSkipAtEnd", &ondrel::EndMd5Rule, "16|-1|"),
        Invalid("EndInvalidCount", &ondrel::EndMd5Rule, "16x|"),
        Invalid("EndInvalidSkip", &ondrel::EndMd5Rule, "16|4 |"),
        Invalid("EndEmptyCount", &ondrel::EndMd5Rule, "|"),
        Range("SizeFirst100", &ondrel::SizeMd5Rule, "0|99|", 0, 100),
        Range("SizeOneByte", &ondrel::SizeMd5Rule, "0|0|", 0, 1),
        Range("SizeMiddle", &ondrel::SizeMd5Rule, "10|19|", 10, 10),
        Range("SizeLastByte", &ondrel::SizeMd5Rule, "99|99|", 99, 1),
        Range("SizeHex", &ondrel::SizeMd5Rule, "$10|X1F|", 16, 16),
        NoBytesCase("SizeLastBeyondEnd", &ondrel::SizeMd5Rule, "0|100|"),
        NoBytesCase("SizeFirstBeyondEnd", &ondrel::SizeMd5Rule, "200|209|"),
        Range("SizeLastOneBelowFirstIsWholeFile", &ondrel::SizeMd5Rule, "10|9|", 0, 100),
        NoBytesCase("SizeLastTwoBelowFirst", &ondrel::SizeMd5Rule, "10|8|"),
        // A negative first offset is refused by the seek: reading starts at byte 0.
        Range("SizeNegativeFirst", &ondrel::SizeMd5Rule, "-5|9|", 0, 15),
        Invalid("SizeInvalidFirst", &ondrel::SizeMd5Rule, "a|9|"),
        Invalid("SizeInvalidLast", &ondrel::SizeMd5Rule, "0|9 |"),
        Invalid("SizeOutOfRangeNumber", &ondrel::SizeMd5Rule, "0|2147483648|")),
    ondrel::testing::CaseName());

// How the values are cut: texts as the rules see them.
struct CutCase {
    const char* name;
    Handler rule;
    std::string value;
    std::string computed;  // "<n..m>" stands for the digest of bytes n to m
    bool holds;
};

class ValueCuts : public ::testing::TestWithParam<CutCase> {};

TEST_P(ValueCuts, ExpectedTextIsTheRest) {
    TempDir dir;
    const std::string bytes = Content(100);
    const std::string file = dir.Write("f.bin", bytes);
    const CutCase& c = GetParam();
    std::string value = c.value, computed = c.computed;
    // "#" in the value and in the computed text stands for the digest of bytes 84..99.
    const std::string last16 = TextOf(bytes.substr(84));
    for (std::string* s : {&value, &computed})
        if (std::size_t at = s->find('#'); at != std::string::npos) s->replace(at, 1, last16);
    RuleTrace trace;
    EXPECT_EQ(Call(c.rule, file, value, trace), c.holds);
    EXPECT_EQ(trace.text, computed);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ValueCuts,
    ::testing::Values(
        // Without "|" no number is valid: the computed text is empty.
        CutCase{"EndNoBarEmpty", &ondrel::EndMd5Rule, "", "", true},
        CutCase{"EndNoBarOneChar", &ondrel::EndMd5Rule, "7", "", true},
        CutCase{"EndNoBarLonger", &ondrel::EndMd5Rule, "16", "", false},
        CutCase{"EndInvalidAndEmptyExpected", &ondrel::EndMd5Rule, "x|", "", true},
        CutCase{"EndMoreBars", &ondrel::EndMd5Rule, "16|0|#|", "#", false},
        CutCase{"EndExpectedWithBar", &ondrel::EndMd5Rule, "16|0|a|b", "#", false},
        CutCase{"SizeNoBar", &ondrel::SizeMd5Rule, "ab", "", true},
        CutCase{"SizeNoBarLonger", &ondrel::SizeMd5Rule, "abc", "", false},
        CutCase{"SizeOneBar", &ondrel::SizeMd5Rule, "84|", "", true},
        CutCase{"SizeInvalidAndEmptyExpected", &ondrel::SizeMd5Rule, "a|b|", "", true},
        CutCase{"SizeInvalidAndExpected", &ondrel::SizeMd5Rule, "a|b|#", "", false},
        CutCase{"SizeMoreBars", &ondrel::SizeMd5Rule, "84|99|#|", "#", false},
        CutCase{"SizeHolds", &ondrel::SizeMd5Rule, "84|99|#", "#", true}),
    ondrel::testing::CaseName());

// Ranges larger than one read, so that chunks join and short reads show.
TEST(RangeDigest, RangesAcrossManyReads) {
    TempDir dir;
    const std::size_t size = 3 * 256 * 1024 + 77;
    const std::string bytes = Content(size);
    const std::string file = dir.Write("large.bin", bytes);
    const auto last = static_cast<std::int32_t>(size - 1);
    EXPECT_EQ(ondrel::RangeDigest(file, 0, last).text, TextOf(bytes));
    EXPECT_EQ(ondrel::RangeDigest(file, 1, last).text, TextOf(bytes.substr(1)));
    EXPECT_EQ(ondrel::RangeDigest(file, 5, 262144 + 5).text, TextOf(bytes.substr(5, 262145)));
    EXPECT_EQ(ondrel::RangeDigest(file, 0, last + 1).text, NoBytes());   // one byte short
    EXPECT_EQ(ondrel::RangeDigest(file, 7, 6).text, TextOf(bytes));      // count 0: the whole file
    EXPECT_EQ(ondrel::RangeDigest(file, -1, last - 1).text, TextOf(bytes));
}

TEST(RangeDigest, NothingToReadGivesDigestOfNoBytes) {
    TempDir dir;
    EXPECT_EQ(ondrel::RangeDigest(dir.File("missing"), 0, 9).text, NoBytes());
    EXPECT_EQ(ondrel::RangeDigest(dir.File("missing"), 1, 0).text, NoBytes());
    const std::string empty = dir.Write("empty", "");
    EXPECT_EQ(ondrel::RangeDigest(empty, 0, 0).text, NoBytes());
    EXPECT_EQ(ondrel::RangeDigest(empty, 1, 0).text, NoBytes());
}

TEST(DigestRules, MissingFileGivesDigestOfNoBytes) {
    TempDir dir;
    const std::string missing = dir.File("missing.bin");
    const std::string list = "ENDMD5=16|" + NoBytes() + ",SIZEMD5=0|9|" + NoBytes() + ",MD5=" + NoBytes();
    EXPECT_EQ(AdvancedCheck(missing.c_str(), list.c_str()), 1);
}

class CheckedFile : public ::testing::Test {
protected:
    TempDir dir;
    std::string bytes = "123456789";
    std::string file = dir.Write("digits.txt", bytes);
    std::string md5 = TextOf(bytes);
    std::string crc = ondrel::Crc32ToHex(0xCBF43926u);
    int Check(const std::string& name, const std::string& list) { return AdvancedCheck(name.c_str(), list.c_str()); }
};

TEST_F(CheckedFile, ValuesInCapitalsOnly) {
    EXPECT_EQ(Check(file, "CRC32=" + crc + ",MD5=" + md5), 1);
    EXPECT_EQ(Check(file, "crc32=" + crc + ",md5=" + md5), 1);  // keywords in any case
    EXPECT_EQ(Check(file, "CRC32=" + Lower(crc)), 0);
    EXPECT_EQ(Check(file, "MD5=" + Lower(md5)), 0);
    EXPECT_EQ(Check(file, "ENDMD5=9|" + Lower(md5)), 0);
    EXPECT_EQ(Check(file, "SIZEMD5=0|8|" + Lower(md5)), 0);
    EXPECT_EQ(Check(file, "ENDMD5=9|" + md5 + ",SIZEMD5=0|8|" + md5), 1);
}

TEST_F(CheckedFile, Crc32TracesItsText) {
    RuleTrace trace;
    EXPECT_TRUE(Call(&ondrel::Crc32Rule, file, crc, trace));
    EXPECT_EQ(trace.text, "CBF43926");
    EXPECT_FALSE(Call(&ondrel::Crc32Rule, file, "0" + crc, trace));
}

TEST_F(CheckedFile, Crc32LeadingZerosAreWritten) {
    // Bytes whose CRC-32 is below 0x10000000, found by trying.
    std::string probe = "a";
    std::uint32_t value = 0;
    for (int i = 0;; ++i) {
        probe = "zero" + std::to_string(i);
        value = ondrel::Crc32(0, probe.data(), probe.size());
        if (value < 0x10000000u) break;
    }
    const std::string small = dir.Write("small.txt", probe);
    const std::string text = ondrel::Crc32ToHex(value);
    ASSERT_EQ(text[0], '0');
    EXPECT_EQ(Check(small, "CRC32=" + text), 1);
    EXPECT_EQ(Check(small, "CRC32=" + text.substr(1)), 0);
}

TEST_F(CheckedFile, Crc32OnMissingFileThrowsSoFlagRescues) {
    const std::string missing = dir.File("missing.txt");
    RuleTrace trace;
    EXPECT_THROW(Call(&ondrel::Crc32Rule, missing, "00000000", trace), ondrel::platform::FileOpenError);
    EXPECT_EQ(Check(missing, "CRC32=00000000"), 0);
    EXPECT_EQ(Check(missing, "CRC32=" + crc + ",FLAGIFNOFILE="), 1);
    EXPECT_EQ(Check(missing, "CRC32=" + crc + ",FLAGIFNOFILE=anything"), 1);
    // An existing file whose CRC differs fails normally: the flag is not reached.
    EXPECT_EQ(Check(file, "CRC32=00000000,FLAGIFNOFILE="), 0);
    // MD5 on a missing file does not throw: its failure stops the evaluation.
    EXPECT_EQ(Check(missing, "MD5=" + md5 + ",FLAGIFNOFILE="), 0);
}

TEST_F(CheckedFile, Md5AnswersForTheFileAsItIsNow) {
    ondrel::testing::ClockAhead settled;
    ondrel::testing::Age(file);
    EXPECT_EQ(Check(file, "MD5=" + md5), 1);
    dir.WriteAged("digits.txt", "changed", 7200);
    EXPECT_EQ(Check(file, "MD5=" + md5), 0);
    EXPECT_EQ(Check(file, "MD5=" + TextOf("changed")), 1);
    EXPECT_EQ(Check(file, "SIZEMD5=0|6|" + TextOf("changed")), 1);
}

TEST_F(CheckedFile, Md5NamesDifferingInCaseAnswerForTheFileTheyName) {
    ondrel::testing::ClockAhead settled;
    const std::string named = dir.WriteAged("Case.Bin", "first contents");
    const std::string first = TextOf("first contents");
    EXPECT_EQ(Check(named, "MD5=" + first), 1);
    // Where names ignore letter case (Windows) the other spelling is the same
    // file; elsewhere it is another name, here of no file.
#ifdef _WIN32
    const int sameFile = 1;
#else
    const int sameFile = 0;
#endif
    EXPECT_EQ(Check(dir.File("CASE.BIN"), "MD5=" + first), sameFile);
    EXPECT_EQ(Check(dir.File("case.bin"), "MD5=" + first), sameFile);
}

TEST_F(CheckedFile, Md5OfMissingFileIsNotKept) {
    ondrel::testing::ClockAhead settled;
    const std::string later = dir.File("later.txt");
    EXPECT_EQ(Check(later, "MD5=" + NoBytes()), 1);
    dir.WriteAged("later.txt", bytes);
    EXPECT_EQ(Check(later, "MD5=" + NoBytes()), 0);
    EXPECT_EQ(Check(later, "MD5=" + md5), 1);
}

TEST_F(CheckedFile, EveryRuleTracesWhatItComputed) {
    RuleTrace trace;
    EXPECT_TRUE(Call(&ondrel::Md5Rule, file, md5, trace));
    EXPECT_EQ(trace.text, md5);
    EXPECT_FALSE(Call(&ondrel::EndMd5Rule, file, "1|X", trace));
    EXPECT_EQ(trace.text, TextOf("9"));
    EXPECT_FALSE(Call(&ondrel::SizeMd5Rule, file, "0|0|X", trace));
    EXPECT_EQ(trace.text, TextOf("1"));
}

#ifdef _WIN32

// Another handle on the file, held while the test runs.
class OtherHandle {
public:
    OtherHandle(const std::string& path, DWORD access, DWORD share)
        : handle_(CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~OtherHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    OtherHandle(const OtherHandle&) = delete;
    OtherHandle& operator=(const OtherHandle&) = delete;
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Close() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

TEST_F(CheckedFile, WhileAnotherHandleWrites) {
    OtherHandle writer(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(writer.Valid());
    // CRC32 refuses writers, so its open fails and it throws ...
    RuleTrace trace;
    EXPECT_THROW(Call(&ondrel::Crc32Rule, file, crc, trace), ondrel::platform::FileOpenError);
    EXPECT_EQ(Check(file, "CRC32=" + crc), 0);
    EXPECT_EQ(Check(file, "CRC32=" + crc + ",FLAGIFNOFILE="), 1);
    // ... while MD5 and the range rules share the file with writers.
    EXPECT_EQ(ondrel::Md5OfFile(file).text, md5);
    EXPECT_EQ(Check(file, "MD5=" + md5 + ",ENDMD5=9|" + md5 + ",SIZEMD5=0|8|" + md5), 1);
}

TEST_F(CheckedFile, HeldWithoutReadSharing) {
    OtherHandle locker(file, GENERIC_READ, 0);
    ASSERT_TRUE(locker.Valid());
    EXPECT_EQ(ondrel::Md5OfFile(file).text, NoBytes());
    EXPECT_EQ(ondrel::RangeDigest(file, 0, 8).text, NoBytes());
    EXPECT_EQ(Check(file, "MD5=" + NoBytes()), 1);
    locker.Close();
    EXPECT_EQ(Check(file, "MD5=" + md5), 1);  // a file that could not be read is not kept
    EXPECT_EQ(Check(file, "CRC32=" + crc + ",FLAGIFNOFILE="), 1);
}

#endif
