// The rows of the keyword table: each rule's value written by its format
// and cut back by its parse, its Compute against digests taken here of the
// bytes written, the texts kept for one file, and the text a tool computes
// without an entry.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "checks/engine.h"
#include "checks/rules.h"
#include "checksums/crc32.h"
#include "checksums/hex.h"
#include "tests/support/digests.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"

namespace {

using ondrel::Keyword;
using ondrel::LibraryKeyword;
using ondrel::RuleArguments;
using ondrel::RuleContext;
using ondrel::testing::DigestOfBytes;
using ondrel::testing::PeImage;
using ondrel::testing::PeKey;
using ondrel::testing::TempDir;

const Keyword& Row(std::string_view name) {
    const Keyword* row = LibraryKeyword(name);
    if (!row) throw std::logic_error("no row " + std::string(name));
    return *row;
}

// Bytes that differ from their position, so that a range read from the
// wrong place cannot give the right digest.
std::string Varied(std::size_t n, unsigned salt) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 2654435761u + salt) >> 13);
    return bytes;
}

// ---- every row is complete ----

TEST(RuleRows, AComputingRowHasItsGrammarAndEveryOtherItsOwnCheck) {
    for (const Keyword& k : ondrel::LibraryKeywords()) {
        const bool computes = k.compute != nullptr;
        EXPECT_EQ(k.parse != nullptr, computes) << k.name;
        EXPECT_EQ(k.format != nullptr, computes) << k.name;
        // A value that is the computed text alone parses into no arguments.
        if (k.form == ondrel::ValueForm::Computed) {
            ASSERT_TRUE(computes) << k.name;
            EXPECT_TRUE(k.parse("ABC").arguments.empty()) << k.name;
        }
        if (k.form == ondrel::ValueForm::Arguments) {
            EXPECT_TRUE(computes) << k.name;
        }
        // Only the flag has no check at all.
        EXPECT_EQ(k.handler == nullptr, k.family == ondrel::RuleFamily::Flag) << k.name;
        EXPECT_EQ(LibraryKeyword(k.name), &k) << k.name;
    }
    EXPECT_EQ(LibraryKeyword("NOSUCHRULE"), nullptr);
}

// ---- format, then parse ----

struct Written {
    const char* name;
    const char* keyword;
    RuleArguments arguments;
    const char* expected;
    const char* value;  // as format writes it
};

class FormatThenParse : public ::testing::TestWithParam<Written> {};

TEST_P(FormatThenParse, GivesBackTheArgumentsAndTheExpectedText) {
    const Written& w = GetParam();
    const Keyword& row = Row(w.keyword);
    EXPECT_EQ(row.format(w.arguments, w.expected), w.value);
    EXPECT_EQ(row.Entry(w.arguments, w.expected), std::string(w.keyword) + "=" + w.value);
    const std::string value = w.value;
    const ondrel::ParsedValue parsed = row.parse(value);
    EXPECT_EQ(parsed.arguments, w.arguments);
    EXPECT_EQ(parsed.expected, w.expected);
}

const std::string kDigest = "0123456789ABCDEF0123456789ABCDEF";

INSTANTIATE_TEST_SUITE_P(
    Rows, FormatThenParse,
    ::testing::Values(Written{"FileSize", "FILESIZE", {}, "1536", "1536"},
                      Written{"Crc32", "CRC32", {}, "E826128F", "E826128F"},
                      Written{"Md5", "MD5", {}, kDigest.c_str(), kDigest.c_str()},
                      Written{"SectionSize", "SECSIZE", {}, "-12", "-12"},
                      Written{"AllSections", "SECMD5", {}, "", ""},
                      Written{"EndCount", "ENDMD5", {"100"}, "ABC", "100|ABC"},
                      Written{"EndCountSkip", "ENDMD5", {"100", "7"}, "ABC", "100|7|ABC"},
                      Written{"EndHexAndBlanks", "ENDMD5", {"$10", " 0x4"}, "", "$10| 0x4|"},
                      Written{"EndEmptyCount", "ENDMD5", {""}, "ABC", "|ABC"},
                      Written{"Range", "SIZEMD5", {"0", "99"}, "ABC", "0|99|ABC"},
                      Written{"RangeEmptyArguments", "SIZEMD5", {"", ""}, "ABC", "||ABC"},
                      Written{"ResourceByTypeName", "RESMD5", {"RT_VERSION", "1"}, "ABC", "RT_VERSION|1|ABC"},
                      Written{"ResourceNamesWithDash", "RESMD5", {"MY-TYPE", "A NAME"}, "ABC", "MY-TYPE|A NAME|ABC"},
                      Written{"ResourceExpectedWithBar", "RESMD5", {"10", "1"}, "A|B", "10|1|A|B"},
                      Written{"Section", "SSECMD5", {".text"}, "ABC", ".text-ABC"},
                      Written{"SectionExpectedWithDash", "SSECMD5", {"CODE"}, "A-B", "CODE-A-B"},
                      Written{"Icon", "ICONMD5", {"MAINICON"}, "ABC", "MAINICON-ABC"},
                      Written{"Bitmap", "BRMD5", {"100"}, "", "100-"}),
    [](const ::testing::TestParamInfo<Written>& p) { return p.param.name; });

// ---- parse cuts any value as the rule always has ----

struct Cut {
    const char* name;
    const char* keyword;
    const char* value;
    RuleArguments arguments;
    const char* expected;
};

class ParseCuts : public ::testing::TestWithParam<Cut> {};

TEST_P(ParseCuts, AsTheRuleReadsIt) {
    const Cut& c = GetParam();
    const std::string value = c.value;
    const ondrel::ParsedValue parsed = Row(c.keyword).parse(value);
    EXPECT_EQ(parsed.arguments, c.arguments);
    EXPECT_EQ(parsed.expected, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParseCuts,
    ::testing::Values(Cut{"SectionNoName", "SSECMD5", "-ABC", {"CODE"}, "ABC"},
                      Cut{"SectionNoDash", "SSECMD5", "ABC", {"CODE"}, "ABC"},
                      Cut{"IconNoDash", "ICONMD5", "ABC", {"MAINICON"}, "ABC"},
                      Cut{"BitmapEmpty", "BRMD5", "", {"100"}, ""},
                      Cut{"EndNoBar", "ENDMD5", "100", {""}, "00"},
                      Cut{"EndNoBarOneChar", "ENDMD5", "7", {""}, ""},
                      Cut{"EndMoreBars", "ENDMD5", "16|0|a|b", {"16", "0"}, "a|b"},
                      Cut{"RangeOneBar", "SIZEMD5", "84|", {"84", ""}, ""},
                      Cut{"RangeNoBarCutByLengths", "SIZEMD5", "abc", {"", ""}, "c"},
                      Cut{"RangeMoreBars", "SIZEMD5", "84|99|#|", {"84", "99"}, "#|"},
                      Cut{"ResourceOneBar", "RESMD5", "10|1", {"10", ""}, ""},
                      Cut{"WholeKeepsBars", "CRC32", "A|B-C", {}, "A|B-C"}),
    [](const ::testing::TestParamInfo<Cut>& p) { return p.param.name; });

// ---- Compute on built files ----

struct Files {
    TempDir dir;
    std::string plainBytes = Varied(5000, 7);
    std::string text = Varied(300, 1);
    std::string code = Varied(200, 2);
    std::string icon = "icon group";
    std::string bitmap = "bitmap bytes";
    std::string data = "data";
    std::string plain = dir.Write("plain.bin", plainBytes);
    std::string pe;
    std::string sectionsOnly;
    Files() {
        PeImage image;
        image.sections = {{".text", text}, {"CODE", code}};
        sectionsOnly = dir.Write("sections.dll", image.Bytes());
        image.resources = {{PeKey::Id(14), PeKey::Name(u"MAINICON"), 0x409, icon},
                           {PeKey::Id(2), PeKey::Id(100), 0x409, bitmap},
                           {PeKey::Id(10), PeKey::Id(1), 0x409, data}};
        pe = dir.Write("image.dll", image.Bytes());
    }
};

Files& Built() {
    static Files files;
    return files;
}

struct Computed {
    const char* name;
    std::string Files::*file;
    const char* keyword;
    RuleArguments arguments;
    std::string (*reference)(const Files&);  // what the rule computes, from the bytes written
};

std::string Slice(const std::string& bytes, std::size_t from, std::size_t count) {
    return DigestOfBytes(bytes.substr(from, count));
}

class ComputeOnFile : public ::testing::TestWithParam<Computed> {};

TEST_P(ComputeOnFile, GivesTheTextOfTheBytesWrittenAndTheEntryWrittenHolds) {
    const Computed& c = GetParam();
    const Files& f = Built();
    const std::string& file = f.*c.file;
    const Keyword& row = Row(c.keyword);
    const std::string reference = c.reference(f);
    EXPECT_EQ(row.compute(RuleContext{file, nullptr}, c.arguments), reference);
    // The entry a tool writes from it holds, and fails with another text.
    const std::string entry = row.Entry(c.arguments, reference);
    EXPECT_TRUE(ondrel::Evaluate(file.c_str(), entry.c_str(), ondrel::LibraryKeywords(), nullptr)) << entry;
    const std::string other = row.Entry(c.arguments, reference + "0");
    EXPECT_FALSE(ondrel::Evaluate(file.c_str(), other.c_str(), ondrel::LibraryKeywords(), nullptr)) << other;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ComputeOnFile,
    ::testing::Values(
        Computed{"FileSize", &Files::plain, "FILESIZE", {}, [](const Files&) { return std::string("5000"); }},
        Computed{"Crc32", &Files::plain, "CRC32", {},
                 [](const Files& f) {
                     return ondrel::Crc32ToHex(ondrel::Crc32(0, f.plainBytes.data(), f.plainBytes.size()));
                 }},
        Computed{"Md5", &Files::plain, "MD5", {}, [](const Files& f) { return DigestOfBytes(f.plainBytes); }},
        Computed{"EndCount", &Files::plain, "ENDMD5", {"100"},
                 [](const Files& f) { return Slice(f.plainBytes, 4900, 100); }},
        Computed{"EndCountSkip", &Files::plain, "ENDMD5", {"100", "7"},
                 [](const Files& f) { return Slice(f.plainBytes, 4893, 100); }},
        Computed{"EndInvalidCount", &Files::plain, "ENDMD5", {"x"}, [](const Files&) { return std::string(); }},
        Computed{"Range", &Files::plain, "SIZEMD5", {"10", "19"},
                 [](const Files& f) { return Slice(f.plainBytes, 10, 10); }},
        Computed{"RangeHex", &Files::plain, "SIZEMD5", {"$10", "X1F"},
                 [](const Files& f) { return Slice(f.plainBytes, 16, 16); }},
        Computed{"NoImageSectionSize", &Files::plain, "SECSIZE", {}, [](const Files&) { return std::string("0"); }},
        Computed{"NoImageSections", &Files::plain, "SECMD5", {}, [](const Files&) { return std::string(); }},
        Computed{"SectionSize", &Files::sectionsOnly, "SECSIZE", {}, [](const Files&) { return std::string("500"); }},
        Computed{"AllSections", &Files::sectionsOnly, "SECMD5", {},
                 [](const Files& f) { return DigestOfBytes(f.text + f.code); }},
        Computed{"NamedSection", &Files::pe, "SSECMD5", {".text"}, [](const Files& f) { return DigestOfBytes(f.text); }},
        Computed{"CodeSection", &Files::pe, "SSECMD5", {"CODE"}, [](const Files& f) { return DigestOfBytes(f.code); }},
        Computed{"MissingSection", &Files::pe, "SSECMD5", {"nothing"}, [](const Files&) { return std::string(); }},
        Computed{"Icon", &Files::pe, "ICONMD5", {"MAINICON"}, [](const Files& f) { return DigestOfBytes(f.icon); }},
        Computed{"Bitmap", &Files::pe, "BRMD5", {"100"}, [](const Files& f) { return DigestOfBytes(f.bitmap); }},
        Computed{"ResourceByTypeName", &Files::pe, "RESMD5", {"RT_RCDATA", "1"},
                 [](const Files& f) { return DigestOfBytes(f.data); }},
        Computed{"ResourceMissing", &Files::pe, "RESMD5", {"RT_RCDATA", "2"},
                 [](const Files&) { return std::string(); }}),
    [](const ::testing::TestParamInfo<Computed>& p) { return p.param.name; });

// ---- the texts kept for one file ----

int g_computed = 0;
std::string Counted(const RuleContext&, const RuleArguments& arguments) {
    ++g_computed;
    return "text of " + (arguments.empty() ? std::string("nothing") : arguments[0]);
}
std::string AlsoCounted(const RuleContext&, const RuleArguments&) {
    ++g_computed;
    return "another rule";
}
std::string Gone(const RuleContext&, const RuleArguments&) {
    ++g_computed;
    throw std::runtime_error("not found");
}
std::string NoMemory(const RuleContext&, const RuleArguments&) {
    ++g_computed;
    throw std::bad_alloc();
}

TEST(ComputedTexts, EachRuleAndArgumentsOnceAndFailuresOfTheFileAgain) {
    const std::string file = "f";
    ondrel::ComputedTexts texts;
    const RuleContext context{file, nullptr, nullptr, &texts};
    g_computed = 0;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(ondrel::ComputeText(&Counted, context, {"a"}), "text of a");
        EXPECT_EQ(ondrel::ComputeText(&Counted, context, {"b"}), "text of b");
        EXPECT_EQ(ondrel::ComputeText(&Counted, context, {}), "text of nothing");
        // Arguments that would run together do not share a text.
        EXPECT_EQ(ondrel::ComputeText(&Counted, context, {"a", ""}), "text of a");
        EXPECT_EQ(ondrel::ComputeText(&AlsoCounted, context, {"a"}), "another rule");
    }
    EXPECT_EQ(g_computed, 5);
    EXPECT_EQ(texts.Size(), 5u);

    // A failure of the file is kept, and thrown again with its reason.
    for (int round = 0; round < 3; ++round) {
        try {
            ondrel::ComputeText(&Gone, context, {});
            ADD_FAILURE() << "did not throw";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "not found");
        }
    }
    EXPECT_EQ(g_computed, 6);
    // The process's own failure is not.
    for (int round = 0; round < 2; ++round) EXPECT_THROW(ondrel::ComputeText(&NoMemory, context, {}), std::bad_alloc);
    EXPECT_EQ(g_computed, 8);
    EXPECT_EQ(texts.Size(), 6u);

    // Without texts every call computes.
    const RuleContext plain{file, nullptr};
    ondrel::ComputeText(&Counted, plain, {"a"});
    ondrel::ComputeText(&Counted, plain, {"a"});
    EXPECT_EQ(g_computed, 10);
}

// ---- the text a tool computes, without an entry ----

class Reasons : public ondrel::EvaluationObserver {
public:
    void OnEntry(const ondrel::CheckListItem&, std::string_view, const ondrel::RuleTrace& trace,
                 ondrel::Outcome) override {
        reasons.push_back(trace.reason);
    }
    void OnResult(bool) override {}
    std::vector<std::string> reasons;
};

TEST(ComputeEntryText, AnswersWhatTheEntryComputesOrWhyItThrew) {
    const Files& f = Built();
    std::string why;
    EXPECT_EQ(ondrel::ComputeEntryText(Row("MD5"), RuleContext{f.plain, nullptr}, {}, why), DigestOfBytes(f.plainBytes));
    EXPECT_EQ(why, "");

    // A missing file: the reason an observer of the entry is told.
    const std::string missing = f.dir.File("missing.bin");
    Reasons engine;
    ondrel::Evaluate(missing.c_str(), "CRC32=0", ondrel::LibraryKeywords(), nullptr, &engine);
    EXPECT_EQ(ondrel::ComputeEntryText(Row("CRC32"), RuleContext{missing, nullptr}, {}, why), std::nullopt);
    ASSERT_EQ(engine.reasons.size(), 1u);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(why, engine.reasons[0]);
}

}  // namespace
