// The INI value rule: parsing, the search of values, presence and reading.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <tuple>

#include "checks/engine.h"
#include "checks/rules.h"
#include "checks/ini_rule.h"
#include "ondrel.h"
#include "platform/reader.h"
#include "platform/text.h"
#include "tests/support/ini_reference.h"
#include "tests/support/test_files.h"

#ifdef _WIN32
#include <windows.h>
#endif

using ondrel::testing::FindIniValue;
using ondrel::testing::IniDocument;
using ondrel::testing::IniMatch;
using ondrel::testing::IniSection;
using ondrel::testing::ParseIniText;
using ondrel::testing::TempDir;
using namespace std::string_literals;  // texts with NUL bytes

namespace ondrel::testing {
void PrintTo(const IniSection& s, std::ostream* os) {
    *os << "[" << s.name << "]";
    for (const std::string& line : s.lines) *os << " {" << line << "}";
}
}  // namespace ondrel::testing

namespace {

// The rule itself on a file: whether it holds (it may throw).
bool IniFileHasValue(const std::string& file, const std::string& value) {
    ondrel::RuleTrace trace;
    return ondrel::IniRule(ondrel::RuleContext{file, nullptr}, value, trace);
}

using Sections = std::vector<IniSection>;

// ---------------------------------------------------------------- parsing

struct ParseCase {
    const char* name;
    std::string text;
    Sections sections;
};

class IniParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(IniParse, Sections) { EXPECT_EQ(ParseIniText(GetParam().text).sections, GetParam().sections); }

INSTANTIATE_TEST_SUITE_P(
    Text, IniParse,
    ::testing::Values(
        ParseCase{"Empty", "", {}},
        ParseCase{"CommentsAndBlankLinesOnly", "; one\r\n\r\n  ;two\n\t\n", {}},
        ParseCase{"BlanksAroundEqualsRemoved", "[Main]\nPath = C:\\Tools\\app.exe\n",
                  {{"Main", {"Path=C:\\Tools\\app.exe"}}}},
        ParseCase{"LinesAboveFirstHeaderDropped", "a=1\nloose\n[S]\nb=2", {{"S", {"b=2"}}}},
        ParseCase{"LineWithoutEqualsKeptTrimmed", "[S]\n  #needle  \n", {{"S", {"#needle"}}}},
        ParseCase{"SemicolonOnlyAtStartIsComment", "[S]\n ; c\nk=v ; not a comment\n", {{"S", {"k=v ; not a comment"}}}},
        ParseCase{"SplitAtFirstEquals", "[S]\nk = needle = x\n", {{"S", {"k=needle = x"}}}},
        ParseCase{"EmptyNameAndValue", "[S]\n = \n=v\nk=\n", {{"S", {"=", "=v", "k="}}}},
        ParseCase{"ControlBytesTrimmed", "[S]\n\x01\x1f k\x02=\x1f v \x7f\x0b\n", {{"S", {"k=v \x7f"}}}},
        ParseCase{"HighBytesNotTrimmed", "[S]\n\xa0k=\xa0\n", {{"S", {"\xa0k=\xa0"}}}},
        ParseCase{"HeaderNameTrimmed", "  [ \tS x ]  \n", {{"S x", {}}}},
        ParseCase{"EmptyHeader", "[]\nk=v", {{"", {"k=v"}}}},
        ParseCase{"LoneBracketIsNoHeader", "[S]\n[\n", {{"S", {"["}}}},
        ParseCase{"UnclosedHeaderIsALine", "[S]\n[T\nk]=v\n", {{"S", {"[T", "k]=v"}}}},
        ParseCase{"HeaderWithEquals", "[a=b]\n", {{"a=b", {}}}},
        ParseCase{"RepeatedHeadersKept", "[A]\nx=1\n[a]\ny=2\n[A]\n", {{"A", {"x=1"}}, {"a", {"y=2"}}, {"A", {}}}},
        ParseCase{"RepeatedNamesKept", "[S]\nk=1\nk=1\n", {{"S", {"k=1", "k=1"}}}},
        ParseCase{"LineFeed", "[S]\nk=1\nj=2", {{"S", {"k=1", "j=2"}}}},
        ParseCase{"CarriageReturn", "[S]\rk=1\rj=2\r", {{"S", {"k=1", "j=2"}}}},
        ParseCase{"CarriageReturnLineFeed", "[S]\r\nk=1\r\nj=2\r\n", {{"S", {"k=1", "j=2"}}}},
        ParseCase{"LineFeedCarriageReturn", "[S]\n\rk=1\n\rj=2", {{"S", {"k=1", "j=2"}}}},
        ParseCase{"NoLineBreakIsOneLine", "[S] k=1", {}},
        ParseCase{"NulEndsText", "[S]\nk=1\0\n[T]\nj=2"s, {{"S", {"k=1"}}}},
        ParseCase{"NulInsideValue", "[S]\nk=ab\0cd\nj=2"s, {{"S", {"k=ab"}}}},
        ParseCase{"NulFirst", "\0[S]\nk=1"s, {}}),
    ondrel::testing::CaseName());

// ---------------------------------------------------------------- the rule on files

struct RuleCase {
    const char* name;
    std::string text;
    std::string value;
    bool holds;
};

class IniRuleOnFile : public ::testing::TestWithParam<RuleCase> {
protected:
    TempDir dir;
};

TEST_P(IniRuleOnFile, Holds) {
    std::string file = dir.Write("case.ini", GetParam().text);
    EXPECT_EQ(IniFileHasValue(file, GetParam().value), GetParam().holds);
    // Through the library's entry, quoted so that blanks and commas stay in the value.
    std::string quoted = "\"INI=";
    for (char c : GetParam().value) quoted += c == '"' ? "\"\""s : std::string(1, c);
    quoted += "\"";
    if (GetParam().value.find('\0') == std::string::npos) {
        EXPECT_EQ(AdvancedCheck(file.c_str(), quoted.c_str()), GetParam().holds ? 1 : 0);
    }
}

const std::string kMain = "[Main]\r\nPath = C:\\Tools\\app.exe\r\n";

INSTANTIATE_TEST_SUITE_P(
    Values, IniRuleOnFile,
    ::testing::Values(
        RuleCase{"ValueFragmentAnyAsciiCase", kMain, "tools\\APP", true},
        RuleCase{"WholeValue", kMain, "c:\\tools\\app.exe", true},
        RuleCase{"NamesAreNotSearched", kMain, "Path=", false},
        RuleCase{"NameAloneNotSearched", kMain, "Path", false},
        RuleCase{"BlanksAroundEqualsAreGone", kMain, " C:", false},
        RuleCase{"NeedleLongerThanEveryValue", kMain, "C:\\Tools\\app.exe.bak", false},
        RuleCase{"EmptyValueNeverHolds", kMain, "", false},
        RuleCase{"BlankInsideValue", "[S]\nk = some value, more\n", "E VALUE, M", true},
        RuleCase{"SameAccentedByte", "[S]\nk=caf\xe9\n", "CAF\xe9", true},
        RuleCase{"AccentedCapitalDoesNotMatchSmall", "[S]\nk=caf\xe9\n", "caf\xc9", false},
        RuleCase{"AccentedSmallDoesNotMatchCapital", "[S]\nk=CAF\xc9\n", "caf\xe9", false},
        RuleCase{"LineAboveFirstHeader", "a=needle\n[S]\nb=other\n", "needle", false},
        RuleCase{"Comment", "[S]\n; needle\n;k=needle\n", "needle", false},
        RuleCase{"HashLineHasNoValue", "[S]\n#needle\n", "needle", false},
        RuleCase{"HashLineWithEquals", "[S]\n#k=needle\n", "needle", true},
        RuleCase{"ValueAfterFirstEquals", "[S]\nk=needle=x\n", "needle=x", true},
        RuleCase{"ValueDoesNotReachBackToName", "[S]\nk=needle=x\n", "k=n", false},
        RuleCase{"EarlierSectionOfRepeatedNameHidden", "[A]\nx=one\n[B]\nz=three\n[a]\ny=two\n", "one", false},
        RuleCase{"LastSectionOfRepeatedNameSearched", "[A]\nx=one\n[B]\nz=three\n[a]\ny=two\n", "two", true},
        RuleCase{"OtherSectionSearched", "[A]\nx=one\n[B]\nz=three\n[a]\ny=two\n", "three", true},
        RuleCase{"EmptySectionHidesEarlier", "[S]\nk=needle\n[s]\n", "needle", false},
        RuleCase{"EmptyNamedSection", "[]\nk=needle\n", "needle", true},
        RuleCase{"NulBeforeHeader", "x\0[S]\nk=needle\n"s, "needle", false},
        RuleCase{"NulBeforeKeyLine", "[S]\n\0k=needle\n"s, "needle", false},
        RuleCase{"NulInsideValue", "[S]\nk=nee\0dle\n"s, "nee", true},
        RuleCase{"NeedleWithNul", "[S]\nk=needle\n", "nee\0dle"s, false},
        RuleCase{"LineFeed", "[S]\nk=needle", "needle", true},
        RuleCase{"CarriageReturn", "[S]\rk=needle", "needle", true},
        RuleCase{"CarriageReturnLineFeed", "[S]\r\nk=needle\r\n", "needle", true},
        RuleCase{"LineFeedCarriageReturn", "[S]\n\rk=needle\n\r", "needle", true},
        RuleCase{"NoLineBreak", "[S]k=needle", "needle", false},
        RuleCase{"BreakDoesNotJoinLines", "[S]\nk=nee\ndle", "needle", false},
        RuleCase{"EmptyFile", "", "needle", false},
        RuleCase{"CommentsOnly", "; needle\r\n\r\n;[S]\n", "needle", false},
        // Blanks around a value are not part of it; blanks inside it are.
        RuleCase{"TrailingBlanksNotInValue", "[S]\nk=needle \t\x01\n", "needle ", false},
        RuleCase{"BlanksInsideValueKept", "[S]\nk=a \t b \n", "A \t B", true},
        RuleCase{"MatchEndingInBlanksInsideValue", "[S]\nk=x  y\n", "x ", true},
        RuleCase{"LeadingBlanksNotInValue", "[S]\nk=  \tx\n", " x", false},
        // A line that begins with "[" is a header only when it ends in "]".
        RuleCase{"BracketLineIsASetting", "[S]\n[k=needle\n", "needle", true},
        RuleCase{"BracketLineEndingInBracketIsAHeader", "[S]\n[k=needle]\n", "needle", false},
        RuleCase{"HeaderNameWithBlanksInside", "[a  b]\nx=one\n[A  B]\ny=two\n", "one", false},
        RuleCase{"HeaderNamesDifferInInnerBlanks", "[a  b]\nx=one\n[A B]\ny=two\n", "one", true},
        RuleCase{"NeedleOverlapsItself", "[S]\nk=aaab\n", "aab", true},
        RuleCase{"NeedleNeedsItsPrefixAgain", "[S]\nk=abababc\n", "ababc", true}),
    ondrel::testing::CaseName());

// ---------------------------------------------------------------- the search

IniDocument Doc(Sections sections) { return IniDocument{std::move(sections)}; }

TEST(IniSearch, AnswersTheFirstMatchWithItsSection) {
    IniDocument doc = Doc({{"One", {"a=xx", "b=needle 1"}}, {"Two", {"c=NEEDLE 2"}}});
    EXPECT_EQ(FindIniValue(doc, "needle"), (IniMatch{"One", "b=needle 1"}));
    EXPECT_EQ(FindIniValue(doc, "Needle 2"), (IniMatch{"Two", "c=NEEDLE 2"}));
    EXPECT_EQ(FindIniValue(doc, "needle 3"), std::nullopt);
}

TEST(IniSearch, RepeatedNameIsSearchedWhereItFirstAppears) {
    // The first header names B, whose last section comes after A's.
    IniDocument doc = Doc({{"B", {"k=hit b"}}, {"A", {"k=hit a"}}, {"b", {"k=hit last b"}}});
    EXPECT_EQ(FindIniValue(doc, "hit"), (IniMatch{"b", "k=hit last b"}));
}

TEST(IniSearch, SectionNamesUseAnsiCaseMapping) {
    std::string small = "\xe9t\xe9", capital = small;
    ondrel::platform::UpperCaseAnsi(capital);
    IniDocument doc = Doc({{small, {"x=one"}}, {capital, {"y=two"}}});
    EXPECT_EQ(FindIniValue(doc, "two"), (IniMatch{capital, "y=two"}));
    // Where the ANSI page knows the capital of this letter, the earlier section is hidden.
    EXPECT_EQ(FindIniValue(doc, "one").has_value(), capital == small);
#ifndef _WIN32
    EXPECT_EQ(capital, "\xc9T\xc9");  // Windows-1252
#endif
}

// The search as written out: every header looks up the last section of its
// name (folded as the platform folds section names) and searches it; no shortcut.
std::optional<IniMatch> ReferenceSearch(const IniDocument& doc, std::string_view ruleValue) {
    std::string needle(ruleValue);
    for (char& c : needle)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (needle.empty()) return std::nullopt;
    auto upper = [](const std::string& s) { return ondrel::platform::FoldSectionName(s); };
    for (const IniSection& header : doc.sections) {
        const IniSection* found = nullptr;
        for (const IniSection& s : doc.sections)
            if (upper(s.name) == upper(header.name)) found = &s;
        for (const std::string& line : found->lines) {
            std::size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string value = line.substr(eq + 1);
            for (char& c : value)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
            if (value.find(needle) != std::string::npos) return IniMatch{found->name, line};
        }
    }
    return std::nullopt;
}

TEST(IniSearch, AgreesWithTheSearchWrittenOut) {
    // Random documents over a small alphabet, so that names repeat and
    // needles sometimes match.
    std::mt19937 random(12345);
    const char* names[] = {"a", "A", "b", "", "\xe9", "\xc9"};
    const std::string letters = "aAbB=\xe9\xc9";
    auto text = [&](std::size_t most) {
        std::string s;
        for (std::size_t n = random() % (most + 1); n > 0; --n) s += letters[random() % letters.size()];
        return s;
    };
    int matched = 0;
    for (int round = 0; round < 3000; ++round) {
        IniDocument doc;
        for (std::size_t n = random() % 6; n > 0; --n) {
            IniSection section{names[random() % 6], {}};
            for (std::size_t k = random() % 4; k > 0; --k) section.lines.push_back(text(6));
            doc.sections.push_back(std::move(section));
        }
        std::string needle = text(3);
        std::optional<IniMatch> expected = ReferenceSearch(doc, needle);
        ASSERT_EQ(FindIniValue(doc, needle), expected) << "round " << round;
        matched += expected.has_value();
    }
    EXPECT_GT(matched, 100);  // the rounds did exercise matches
}

TEST(IniSearch, ManyRepeatedHeaders) {
    // Each header leads to a search of the last section of its name: the
    // rule's search keeps one candidate a name however often it repeats.
    std::string text;
    for (int i = 0; i < 20000; ++i) text += i % 2 ? "[S]\n" : "[s]\nk=value " + std::to_string(i) + "\n";
    text += "[S]\nk=last\n";
    EXPECT_EQ(ParseIniText(text).sections.size(), 20001u);
    TempDir dir;
    const std::string file = dir.Write("repeated.ini", text);
    EXPECT_FALSE(IniFileHasValue(file, "value"));
    EXPECT_TRUE(IniFileHasValue(file, "LAST"));
}

// ---------------------------------------------------------------- section names

struct FoldCase {
    const char* name;
    std::string a;
    std::string b;
    bool same;
};

class SectionNameFold : public ::testing::TestWithParam<FoldCase> {};

TEST_P(SectionNameFold, SameSectionExactlyWhenFoldsAgree) {
    const FoldCase& c = GetParam();
    EXPECT_EQ(ondrel::platform::FoldSectionName(c.a) == ondrel::platform::FoldSectionName(c.b), c.same);
    // Fed in pieces, with its blanks given as runs, a name hashes as its fold.
    for (const std::string& name : {c.a, c.b}) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
            ondrel::platform::SectionNameHasher hasher;
            ondrel::platform::PolynomialHash run;
            for (std::size_t at = 0; at < name.size(); at += piece) {
                for (char ch : name.substr(at, piece)) {
                    if (static_cast<unsigned char>(ch) <= 32) {
                        run.Add(static_cast<unsigned char>(ch));
                        continue;
                    }
                    if (run.length()) hasher.FeedBlanks(run);
                    run = {};
                    hasher.Feed(std::string_view(&ch, 1));
                }
            }
            if (run.length()) hasher.FeedBlanks(run);
            ondrel::platform::PolynomialHash whole;
            for (char ch : ondrel::platform::FoldSectionName(name)) whole.Add(static_cast<unsigned char>(ch));
            EXPECT_EQ(hasher.Finish(), whole) << ::testing::PrintToString(name) << " piece " << piece;
        }
    }
}

const FoldCase kFoldCases[] = {
        FoldCase{"AsciiLetters", "Main", "MAIN", true}, FoldCase{"AsciiOtherName", "Main", "Mains", false},
        FoldCase{"BlanksInside", "a \tb", "A \tB", true}, FoldCase{"OtherBlanks", "a \tb", "a\t b", false},
#ifndef _WIN32
        // UTF-8 names fold per character, whatever the locale.
        FoldCase{"Utf8Accent", "caf\xc3\xa9", "CAF\xc3\x89", true},
        FoldCase{"Utf8Cyrillic", "\xd0\xba\xd0\xbe\xd1\x82", "\xd0\x9a\xd0\x9e\xd0\xa2", true},
        // К (D0 9A) and Њ (D0 8A) are no case variants, though a single-byte page folds their bytes alike.
        FoldCase{"Utf8NotVariants", "\xd0\x9a\xd0\xbe\xd1\x82", "\xd0\x8a\xd0\xbe\xd1\x82", false},
        FoldCase{"Utf8TitleCaseDigraph", "\xc7\x86", "\xc7\x84", true},   // dz with caron, DZ with caron
        FoldCase{"Utf8DotlessI", "\xc4\xb1", "I", true},                  // simple mapping: dotless i is I
        FoldCase{"Utf8SharpSStays", "\xc3\x9f", "SS", false},             // no simple capital
        FoldCase{"Utf8FinalSigma", "\xcf\x82", "\xce\xa3", true},
        FoldCase{"Utf8FourBytes", "\xf0\x90\x90\xa8", "\xf0\x90\x90\x80", true},  // Deseret
        // Anything not valid UTF-8 folds byte by byte in Windows-1252.
        FoldCase{"Windows1252", "\xe9t\xe9", "\xc9T\xc9", true},
        FoldCase{"OverlongIsNoUtf8", "\xc0\xaf", "\xc0\xaf", true},
        FoldCase{"SurrogateIsNoUtf8", "\xed\xa0\x80", "\xcd\xa0\x80", true},
        FoldCase{"TruncatedIsNoUtf8", "a\xc3", "A\xc3", true},
        FoldCase{"BlankInsideACharacterIsNoUtf8", "\xc3 \xa9", "\xc3 \xa9", true},
#endif
    FoldCase{"Empty", "", "", true},
};

INSTANTIATE_TEST_SUITE_P(Names, SectionNameFold, ::testing::ValuesIn(kFoldCases), ondrel::testing::CaseName());

#ifndef _WIN32
TEST(IniSearch, Utf8SectionsAreCaseVariantsOnlyOfThemselves) {
    TempDir dir;
    const std::string file = dir.Write("utf8.ini",
                                       "[\xd0\x9a\xd0\xbe\xd1\x82]\nk=one\n[\xd0\x8a\xd0\xbe\xd1\x82]\nk=two\n"
                                       "[caf\xc3\xa9]\nk=three\n[CAF\xc3\x89]\nk=four\n");
    EXPECT_TRUE(IniFileHasValue(file, "one"));     // Кот is not hidden by Њот
    EXPECT_TRUE(IniFileHasValue(file, "two"));
    EXPECT_FALSE(IniFileHasValue(file, "three"));  // café is hidden by CAFÉ
    EXPECT_TRUE(IniFileHasValue(file, "four"));
}
#endif

// ---------------------------------------------------------------- the search as the file is read

// Fed in pieces of every size, and in parts of every number, the search
// answers as the parse of the whole text and the search of its document do.
bool SearchInPieces(const std::string& text, std::string_view needle, std::size_t piece, std::uint32_t parts) {
    bool found = false;
    for (std::uint32_t part = 0; part < parts; ++part) {
        ondrel::IniValueSearch search(needle, parts, part);
        for (std::size_t at = 0; at < text.size(); at += piece) search.Feed(std::string_view(text).substr(at, piece));
        search.Finish();
        found |= search.Match().has_value();
    }
    return found;
}

TEST(IniSearchAsRead, AgreesWithTheWholeDocument) {
    std::mt19937 random(777);
    // Headers, settings, comments, breaks of every kind and NUL bytes.
    const std::vector<std::string> parts = {"[a]", "[A]", "[ b ]", "[]", "[\xe9]", "[\xc9]", "k=",  "=", " x ",
                                            "needle", "NEE", "dle", ";", "\r", "\n", "\r\n", "\n\r", "\t",
                                            "[", "]", " ", "\x01"};
    int matched = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (std::size_t n = random() % 40; n > 0; --n) text += parts[random() % parts.size()];
        if (random() % 20 == 0) text.insert(random() % (text.size() + 1), 1, '\0');
        for (std::string_view needle : {"needle", "x", "EEd", "=", "e ", " x", ""}) {
            const bool expected = FindIniValue(ParseIniText(text), needle).has_value();
            matched += expected;
            for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, text.size() + 1})
                for (std::uint32_t split : {1u, 3u})
                    ASSERT_EQ(SearchInPieces(text, needle, piece, split), expected)
                        << "round " << round << " piece " << piece << " parts " << split << " needle " << needle
                        << "\n" << ::testing::PrintToString(text);
        }
    }
    EXPECT_GT(matched, 500);  // the rounds did exercise matches
}

TEST(IniSearchAsRead, NothingAfterTheFirstNul) {
    ondrel::IniValueSearch search("needle");
    search.Feed("[S]\nk=nee");
    search.Feed("dle\0more\n"s);
    search.Feed("[T]\nk=needle\n");
    search.Finish();
    ASSERT_TRUE(search.Match());
    EXPECT_EQ(search.Match()->headerOffset, 0u);
    EXPECT_EQ(search.Match()->lineOffset, 4u);
}

TEST(IniSearchAsRead, PartsAnswerTheWholeWhenCandidatesOutgrowTheBudget) {
    // Many sections hold the fragment; with room for only a few at a time
    // the file is searched in parts, and answers as the whole search does.
    TempDir dir;
    std::string text;
    for (int i = 0; i < 300; ++i) text += "[s" + std::to_string(i) + "]\nk=needle " + std::to_string(i) + "\n";
    std::string hidden = text;
    for (int i = 0; i < 300; ++i) hidden += "[S" + std::to_string(i) + "]\n";  // every earlier section hidden
    for (const auto& [name, body, holds] : {std::tuple{"visible.ini", text, true}, std::tuple{"hidden.ini", hidden, false}}) {
        const std::string file = dir.Write(name, body);
        ondrel::platform::FileReader reader = ondrel::platform::FileReader::OpenOrThrow(file, ondrel::platform::Share::Read);
        for (std::size_t budget : {std::size_t{200}, std::size_t{2000}, ondrel::IniValueSearch::kCandidateBudget}) {
            const std::optional<ondrel::IniMatchAt> at = ondrel::SearchIniFile(reader, "NEEDLE", budget);
            EXPECT_EQ(at.has_value(), holds) << name << " budget " << budget;
            // The whole search shows the earliest match; a search in parts, the
            // earliest of the first part that has one.
            if (at && budget == ondrel::IniValueSearch::kCandidateBudget) {
                EXPECT_EQ(ondrel::DescribeIniMatch(reader, *at), "[s0] k=needle 0");
            } else if (at) {
                EXPECT_EQ(ondrel::DescribeIniMatch(reader, *at).substr(0, 2), "[s") << budget;
            }
        }
    }
}

// ---------------------------------------------------------------- presence and reading

class IniFiles : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir.Write("app.ini", kMain);
};

// Seconds since 1970-01-01 UTC at noon of 15 June of a year.
std::int64_t MidYear(int year) {
    std::int64_t days = 0;
    for (int y = 1970; y < year; ++y) days += (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 366 : 365;
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    days += 31 + (leap ? 29 : 28) + 31 + 30 + 31 + 14;
    return days * 86400 + 12 * 3600;
}

// Lines and line breaks that straddle the reader's chunks, in a file of
// several chunks.
TEST_F(IniFiles, LinesAcrossChunks) {
    const std::size_t chunk = ondrel::platform::FileReader::kChunk;
    std::string text = "[S]\r";
    text += "pad=" + std::string(chunk - text.size() - 5, 'p') + "\r\n";  // the CR ends chunk 1, the LF begins chunk 2
    text += "k=" + std::string(chunk, 'q') + "needle" + "\n";            // a line longer than a chunk
    text += "[T]\nj=tail";
    ASSERT_EQ(text[chunk - 1], '\r');
    const std::string big = dir.Write("big.ini", text);
    EXPECT_TRUE(IniFileHasValue(big, "QQNEEDLE"));
    EXPECT_TRUE(IniFileHasValue(big, "tail"));
    EXPECT_TRUE(IniFileHasValue(big, "pp"));
    EXPECT_FALSE(IniFileHasValue(big, "p\nk"));
    EXPECT_TRUE(FindIniValue(ParseIniText(text), "QQNEEDLE").has_value());
}

TEST_F(IniFiles, PresentFileHolds) {
    EXPECT_TRUE(ondrel::FilePresent(file));
    EXPECT_TRUE(IniFileHasValue(file, "app.exe"));
}

TEST_F(IniFiles, MissingFileIsFalseWithoutThrowing) {
    std::string missing = dir.File("missing.ini");
    EXPECT_FALSE(ondrel::FilePresent(missing));
    EXPECT_FALSE(IniFileHasValue(missing, "app"));
    EXPECT_EQ(AdvancedCheck(missing.c_str(), "INI=app,FLAGIFNOFILE="), 0);  // a plain failure stops
}

TEST_F(IniFiles, DirectoryIsNotPresent) {
    std::filesystem::create_directory(dir.Path() / "sub.ini");
    std::string sub = dir.File("sub.ini");
    EXPECT_FALSE(ondrel::FilePresent(sub));
    EXPECT_EQ(AdvancedCheck(sub.c_str(), "INI=app,FLAGIFNOFILE="), 0);
}

TEST_F(IniFiles, LastWriteTimeMustBeAnMsDosDate) {
    struct {
        int year;
        bool present;
    } cases[] = {{1975, false}, {1979, false}, {1980, true}, {1985, true}, {2107, true}, {2109, false}};
    for (auto c : cases) {
        ondrel::testing::SetLastWriteTime(file, MidYear(c.year));
        EXPECT_EQ(ondrel::FilePresent(file), c.present) << c.year;
        EXPECT_EQ(IniFileHasValue(file, "app"), c.present) << c.year;
    }
    ondrel::testing::SetLastWriteTime(file, MidYear(1975));
    EXPECT_EQ(AdvancedCheck(file.c_str(), "INI=app,FLAGIFNOFILE="), 0);
}

TEST_F(IniFiles, WildcardNameIsPresentButCannotBeOpened) {
    std::string pattern = dir.File("ap*.ini");
    EXPECT_TRUE(ondrel::FilePresent(pattern));
    EXPECT_TRUE(ondrel::FilePresent(dir.File("ap?.ini")));
    EXPECT_THROW(IniFileHasValue(pattern, "app"), std::exception);
    EXPECT_THROW(IniFileHasValue(dir.File("app.in?"), "app"), std::exception);
    EXPECT_EQ(AdvancedCheck(pattern.c_str(), "INI=app"), 0);
    EXPECT_EQ(AdvancedCheck(pattern.c_str(), "INI=app,FLAGIFNOFILE="), 1);
    // An empty value still reads the file first.
    EXPECT_EQ(AdvancedCheck(pattern.c_str(), "INI=,FLAGIFNOFILE="), 1);
    EXPECT_FALSE(ondrel::FilePresent(dir.File("b*.ini")));
    EXPECT_EQ(AdvancedCheck(dir.File("b*.ini").c_str(), "INI=app,FLAGIFNOFILE="), 0);
}

TEST_F(IniFiles, TraceShowsTheMatchingLine) {
    struct Last : ondrel::EvaluationObserver {
        std::string trace;
        ondrel::Outcome outcome{};
        void OnEntry(const ondrel::CheckListItem&, std::string_view, const ondrel::RuleTrace& t,
                     ondrel::Outcome o) override {
            trace = t.text.value_or("");
            outcome = o;
        }
        void OnResult(bool) override {}
    } seen;
    EXPECT_TRUE(ondrel::Evaluate(file.c_str(), "ini=TOOLS", ondrel::LibraryKeywords(), nullptr, &seen));
    EXPECT_EQ(seen.trace, "[Main] Path=C:\\Tools\\app.exe");
    EXPECT_FALSE(ondrel::Evaluate(file.c_str(), "INI=absent", ondrel::LibraryKeywords(), nullptr, &seen));
    EXPECT_EQ(seen.outcome, ondrel::Outcome::Failed);
    EXPECT_EQ(seen.trace, "no value holds it");
}

#ifdef _WIN32
TEST_F(IniFiles, FileOpenForWritingElsewhereThrows) {
    HANDLE writer = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ondrel::FilePresent(file));
    EXPECT_THROW(IniFileHasValue(file, "app"), std::exception);
    EXPECT_EQ(AdvancedCheck(file.c_str(), "INI=app"), 0);
    EXPECT_EQ(AdvancedCheck(file.c_str(), "INI=app,FLAGIFNOFILE="), 1);
    CloseHandle(writer);
    EXPECT_EQ(AdvancedCheck(file.c_str(), "INI=app"), 1);
}

TEST_F(IniFiles, FileOpenForReadingElsewhereIsRead) {
    HANDLE reader = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(IniFileHasValue(file, "app"));
    CloseHandle(reader);
}
#else
TEST_F(IniFiles, LiteralWildcardNameOpensOnlyWhenItExists) {
    // On POSIX "*" is an ordinary byte of a name: the open takes it literally.
    std::string literal = dir.Write("lit*.ini", "[S]\nk=literal\n");
    EXPECT_TRUE(IniFileHasValue(literal, "literal"));
}
#endif

}  // namespace
