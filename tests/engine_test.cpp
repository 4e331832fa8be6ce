// Splitting, dispatch and the combination of rule outcomes.
#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "checks/engine.h"
#include "checks/rules.h"
#include "platform/file.h"
#include "ondrel.h"
#include "tests/support/test_files.h"

using ondrel::Evaluate;
using ondrel::Keyword;
using ondrel::RuleContext;
using ondrel::RuleTrace;
using Items = std::vector<std::string>;
using Groups = std::vector<std::size_t>;

namespace {

// Every item of the list, with their groups.
std::pair<Items, Groups> Split(const char* text) {
    std::pair<Items, Groups> out;
    ondrel::CheckListReader reader(text);
    while (std::optional<ondrel::CheckListItem> item = reader.Next()) {
        out.first.push_back(item->text);
        out.second.push_back(item->group);
    }
    return out;
}

}  // namespace

struct SplitCase {
    const char* name;
    const char* text;
    Items items;
    Groups groups = {};  // checked where given
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, Items) {
    const auto [items, groups] = Split(GetParam().text);
    EXPECT_EQ(items, GetParam().items);
    if (!GetParam().groups.empty()) {
        EXPECT_EQ(groups, GetParam().groups);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CheckList, SplitTest,
    ::testing::Values(
        SplitCase{"Null", nullptr, {}}, SplitCase{"Empty", "", {}}, SplitCase{"BlanksOnly", " \t\r\n\x01 ", {}},
        SplitCase{"One", "FILESIZE=3", {"FILESIZE=3"}},
        SplitCase{"Two", "FILESIZE=3,MD5=X", {"FILESIZE=3", "MD5=X"}},
        SplitCase{"BlanksAroundComma", "  a=1 ,\t b=2  ", {"a=1", "b=2"}, {0, 1}},
        SplitCase{"TrailingComma", "a=1,", {"a=1", ""}, {0, 1}},
        SplitCase{"TrailingCommaThenBlanks", "a=1,   ", {"a=1"}},
        SplitCase{"DoubledComma", "a=1,,b=2", {"a=1", "", "b=2"}, {0, 1, 2}},
        SplitCase{"LeadingComma", ",a=1", {"", "a=1"}},
        SplitCase{"LoneComma", ",", {"", ""}, {0, 1}},
        SplitCase{"BlanksAroundEquals", "FILESIZE = 3,MD5=x", {"FILESIZE", "=", "3", "MD5=x"}, {0, 0, 0, 1}},
        SplitCase{"BlankSeparatesItems", "a=1 b=2", {"a=1", "b=2"}, {0, 0}},
        SplitCase{"ControlByteEndsItem", "a=1\x1f" "b=2", {"a=1", "b=2"}},
        SplitCase{"HighBytesAreNotBlanks", "INI=\xe9\xa0x", {"INI=\xe9\xa0x"}},
        SplitCase{"Quoted", "\"INI=a b,c\",d=1", {"INI=a b,c", "d=1"}},
        SplitCase{"DoubledQuote", "\"a=x\"\"y\"", {"a=x\"y"}},
        SplitCase{"EmptyQuoted", "\"\",a=1", {"", "a=1"}},
        SplitCase{"UnclosedQuote", "\"a=1, b", {"a=1, b"}},
        SplitCase{"TextAfterClosingQuote", "\"a=1\"b=2", {"a=1", "b=2"}},
        SplitCase{"QuoteInsidePlainItem", "a=x\"y", {"a=x\"y"}},
        SplitCase{"QuotedThenCommaAtEnd", "\"a=1\",", {"a=1", ""}},
        SplitCase{"QuotedBesideBlankSeparated", "\"a=1\" b=2,c", {"a=1", "b=2", "c"}, {0, 0, 1}}),
    ondrel::testing::CaseName());

TEST(SplitEntry, NameIsTextBeforeFirstEquals) {
    auto parts = ondrel::SplitEntry("MD5=a=b");
    EXPECT_EQ(parts.name, "MD5");
    EXPECT_EQ(parts.value, "a=b");
    parts = ondrel::SplitEntry("FLAGIFNOFILE");
    EXPECT_EQ(parts.name, "");
    parts = ondrel::SplitEntry("FLAGIFNOFILE=");
    EXPECT_EQ(parts.name, "FLAGIFNOFILE");
    EXPECT_EQ(parts.value, "");
}

// A keyword table of test rules: OK holds, NO fails, BOOM throws, ECHO holds
// when its value is "yes"; every call is recorded.
namespace {

std::vector<std::string> g_calls;

bool Ok(const RuleContext&, const std::string& value, RuleTrace&) {
    g_calls.push_back("OK=" + value);
    return true;
}
bool No(const RuleContext&, const std::string& value, RuleTrace&) {
    g_calls.push_back("NO=" + value);
    return false;
}
bool Boom(const RuleContext&, const std::string& value, RuleTrace&) {
    g_calls.push_back("BOOM=" + value);
    throw std::runtime_error("boom");
}
bool BadAlloc(const RuleContext&, const std::string&, RuleTrace&) { throw std::bad_alloc(); }
bool NoDescriptors(const RuleContext&, const std::string&, RuleTrace&) {
    throw ondrel::platform::ResourcesExhausted(ondrel::platform::OpenFailure::OutOfDescriptors);
}
bool Thrown42(const RuleContext&, const std::string&, RuleTrace&) { throw 42; }
bool Echo(const RuleContext& context, const std::string& value, RuleTrace&) {
    g_calls.push_back("ECHO=" + value + "@" + context.fileName);
    return value == "yes";
}

// A row of the test table.
constexpr Keyword Row(std::string_view name, ondrel::RuleHandler handler) {
    return Keyword{name, handler, ondrel::RuleFamily::Flag, ondrel::ValueForm::Any};
}

constexpr Keyword kTestKeywords[] = {
    Row("OK", &Ok),        Row("NO", &No),         Row("BOOM", &Boom),           Row("ECHO", &Echo),
    Row("OOM", &BadAlloc), Row("INT", &Thrown42), Row("EMFILE", &NoDescriptors), Row("FLAGIFNOFILE", nullptr),
};

struct CombineCase {
    const char* name;
    const char* list;
    bool result;
    Items calls;  // the handlers that ran, in order
};

class CombineTest : public ::testing::TestWithParam<CombineCase> {};

TEST_P(CombineTest, ResultAndCalls) {
    g_calls.clear();
    EXPECT_EQ(Evaluate("f", GetParam().list, kTestKeywords, nullptr), GetParam().result);
    EXPECT_EQ(g_calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CombineTest,
    ::testing::Values(
        CombineCase{"EmptyListHolds", "", true, {}}, CombineCase{"OneHolds", "OK=1", true, {"OK=1"}},
        CombineCase{"AllHold", "OK=1,OK=2,OK=3", true, {"OK=1", "OK=2", "OK=3"}},
        CombineCase{"FailureStops", "OK=1,NO=2,OK=3,FLAGIFNOFILE=", false, {"OK=1", "NO=2"}},
        CombineCase{"KeywordCaseIgnored", "ok=1,Ok=2,oK=3", true, {"OK=1", "OK=2", "OK=3"}},
        CombineCase{"ValueKeepsCase", "echo=Yes", false, {"ECHO=Yes@f"}},
        CombineCase{"UnrecognisedStops", "OK=1,XYZ=2,FLAGIFNOFILE=", false, {"OK=1"}},
        CombineCase{"NameWithBlankUnrecognised", "\" OK=1\"", false, {}},
        CombineCase{"NonAsciiNotFolded", "\xf6k=1", false, {}},
        CombineCase{"EmptyEntryFails", "OK=1,,OK=2", false, {"OK=1"}},
        CombineCase{"TrailingCommaFails", "OK=1,", false, {"OK=1"}},
        CombineCase{"LeadingCommaFails", ",OK=1", false, {}},
        CombineCase{"ThrowGoesOnThenStops", "BOOM=1,OK=2,OK=3", false, {"BOOM=1", "OK=2"}},
        CombineCase{"ThrowRescued", "BOOM=1,FLAGIFNOFILE=x,OK=3", true, {"BOOM=1", "OK=3"}},
        CombineCase{"ThrowTwiceRescued", "BOOM=1,BOOM=2,FLAGIFNOFILE=", true, {"BOOM=1", "BOOM=2"}},
        CombineCase{"FlagFirstHolds", "FLAGIFNOFILE=anything", true, {}},
        CombineCase{"FlagWithoutEqualsFails", "BOOM=1,FLAGIFNOFILE", false, {"BOOM=1"}},
        CombineCase{"FlagAfterFailureNotReached", "NO=1,FLAGIFNOFILE=", false, {"NO=1"}},
        CombineCase{"FlagLowerCase", "BOOM=1,flagifnofile=", true, {"BOOM=1"}},
        // A process out of its own resources answers 0 whatever follows.
        CombineCase{"OutOfMemoryInRuleEnds", "OOM=1,FLAGIFNOFILE=", false, {}},
        CombineCase{"OutOfDescriptorsEnds", "OK=1,EMFILE=1,FLAGIFNOFILE=,OK=2", false, {"OK=1"}},
        CombineCase{"ExhaustionAfterRescueEnds", "BOOM=1,FLAGIFNOFILE=,OOM=1,FLAGIFNOFILE=", false, {"BOOM=1"}},
        CombineCase{"AnyThrownValueCaught", "INT=1", false, {}},
        CombineCase{"QuotedEntryKeepsBlanks", "\"ECHO=a b\",OK=2", false, {"ECHO=a b@f"}}),
    ondrel::testing::CaseName());

TEST(Evaluate, NullFileNameIsEmpty) {
    g_calls.clear();
    EXPECT_TRUE(Evaluate(nullptr, "ECHO=yes", kTestKeywords, nullptr));
    EXPECT_EQ(g_calls, Items{"ECHO=yes@"});
}

class Recorder : public ondrel::EvaluationObserver {
public:
    void OnEntry(const ondrel::CheckListItem& item, std::string_view keyword, const RuleTrace&,
                 ondrel::Outcome o) override {
        seen.push_back(item.text + "|" + std::string(keyword) + "|" + ondrel::OutcomeName(o));
    }
    void OnResult(bool r) override { result = r; }
    Items seen;
    bool result = true;
};

TEST(Evaluate, ObserverSeesEveryEntryWithoutChangingTheResult) {
    Recorder recorder;
    EXPECT_FALSE(Evaluate("f", "BOOM=1,FLAGIFNOFILE=,NO=2,OK=3,zz", kTestKeywords, nullptr, &recorder));
    EXPECT_EQ(recorder.seen, (Items{"BOOM=1|BOOM|threw, evaluation goes on", "FLAGIFNOFILE=|FLAGIFNOFILE|result set to true",
                                    "NO=2|NO|failed", "OK=3||not evaluated", "zz||not evaluated"}));
    EXPECT_FALSE(recorder.result);

    Recorder exhausted;
    EXPECT_FALSE(Evaluate("f", "EMFILE=1,FLAGIFNOFILE=", kTestKeywords, nullptr, &exhausted));
    EXPECT_EQ(exhausted.seen, (Items{"EMFILE=1|EMFILE|out of resources, evaluation ends", "FLAGIFNOFILE=||not evaluated"}));
}

class ReasonRecorder : public ondrel::EvaluationObserver {
public:
    void OnEntry(const ondrel::CheckListItem&, std::string_view, const RuleTrace& trace, ondrel::Outcome) override {
        reasons.push_back(trace.reason);
    }
    void OnResult(bool) override {}
    Items reasons;
};

bool NotFound(const RuleContext&, const std::string&, RuleTrace&) {
    throw ondrel::platform::FileOpenError(ondrel::platform::OpenFailure::NotFound);
}

TEST(Evaluate, ObserverSeesWhyARuleThrew) {
    constexpr Keyword keywords[] = {Row("BOOM", &Boom), Row("OOM", &BadAlloc), Row("INT", &Thrown42),
                                    Row("GONE", &NotFound), Row("OK", &Ok)};
    ReasonRecorder recorder;
    const char* list = "BOOM=1,INT=1,GONE=1,OOM=1,OK=1";
    EXPECT_FALSE(Evaluate("f", list, keywords, nullptr, &recorder));
    EXPECT_EQ(recorder.reasons, (Items{"boom", "unknown failure", "not found", "out of memory", ""}));
    EXPECT_EQ(Evaluate("f", list, keywords, nullptr), Evaluate("f", list, keywords, nullptr, &recorder));
}

}  // namespace

// The library's own table: keywords that have no handler yet fail as unknown.
TEST(LibraryKeywords, FileSizeKeywordsPresent) {
    ondrel::testing::TempDir dir;
    std::string file = dir.Write("f.bin", "12345");
    EXPECT_EQ(AdvancedCheck(file.c_str(), "filesize=5,FILESIZE>=5,FILESIZE<=5"), 1);
    EXPECT_EQ(AdvancedCheck(file.c_str(), "FileSize>=6"), 0);
    EXPECT_EQ(AdvancedCheck(file.c_str(), "NOSUCHRULE=1"), 0);
    EXPECT_EQ(AdvancedCheck(file.c_str(), nullptr), 1);
    EXPECT_EQ(AdvancedCheck(nullptr, nullptr), 1);
    EXPECT_EQ(AdvancedCheck(nullptr, "FILESIZE=0"), 1);
}
