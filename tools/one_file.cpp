// Many check lists against one file, each rule's text computed once.
#include "tools/one_file.h"

#include <new>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "checks/rule_values.h"
#include "checks/rules.h"
#include "platform/file.h"

namespace ondrel::tool {

namespace {

// What a rule computed from the file for one set of arguments: its text,
// or why it threw.
struct Remembered {
    std::optional<std::string> text;
    bool threw = false;
    std::string reason;
};

// A value cut as its rule cuts it: what decides the text the rule computes
// (its arguments, up to and with the last separator), and the text it
// compares that with (the rest). Nothing where the rule reads the value in
// a way that is no such cut; such a value goes to the rule itself.
struct Cut {
    std::string arguments;
    std::string expected;
};
using Cutter = std::optional<Cut> (*)(const std::string& value);

// The value is the expected text ("CRC32", "MD5", "FILESIZE", ...).
std::optional<Cut> WholeValue(const std::string& value) { return Cut{{}, value}; }

// "ENDMD5": count "|" expected, or count "|" skip "|" expected.
std::optional<Cut> EndRange(const std::string& value) {
    const std::size_t bar = value.find('|');
    if (bar == std::string::npos) return std::nullopt;
    const std::size_t skipBar = value.find('|', bar + 1);
    const std::size_t cut = (skipBar == std::string::npos ? bar : skipBar) + 1;
    return Cut{value.substr(0, cut), value.substr(cut)};
}

// "SIZEMD5" and "RESMD5": first "|" second "|" expected.
std::optional<Cut> TwoBars(const std::string& value) {
    const std::size_t bar = value.find('|');
    const std::size_t second = bar == std::string::npos ? bar : value.find('|', bar + 1);
    if (second == std::string::npos) return std::nullopt;
    return Cut{value.substr(0, second + 1), value.substr(second + 1)};
}

// "SSECMD5", "ICONMD5", "BRMD5": name "-" expected, the name the rule's own
// when it is empty or there is no "-".
template <const char* DefaultName>
std::optional<Cut> NameAndDash(const std::string& value) {
    DashParts parts = CutAtDash(value, DefaultName);
    return Cut{parts.name + "-", std::move(parts.expected)};
}
constexpr char kCodeSection[] = "CODE";
constexpr char kMainIcon[] = "MAINICON";
constexpr char kFirstBitmap[] = "100";

// A rule that threw before, thrown again with its reason.
class ThrownBefore : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace

struct RuleMemo {
    explicit RuleMemo(const std::string& file) : fileName(file) {}
    const std::string& fileName;
    // By the rule's slot (one byte), then its arguments.
    std::unordered_map<std::string, Remembered> texts;
};

namespace {

thread_local RuleMemo* tCurrent = nullptr;

// The library's handler, run once per file and arguments; after that its
// text is compared with the expected text as the rule compares it.
template <char Slot, RuleHandler Library, Cutter CutValue>
bool Remember(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    RuleMemo* memo = tCurrent;
    std::optional<Cut> parts;
    if (memo && context.fileName == memo->fileName) parts = CutValue(value);
    if (!parts) return Library(context, value, trace);
    std::string key(1, Slot);
    key += parts->arguments;
    if (auto found = memo->texts.find(key); found != memo->texts.end()) {
        const Remembered& r = found->second;
        if (r.threw) throw ThrownBefore(r.reason);
        if (r.text) return trace.Set(*r.text) == parts->expected;
        return Library(context, value, trace);  // it computed no text: nothing to compare
    }
    Remembered r;
    bool held = false;
    try {
        held = Library(context, value, trace);
    } catch (const std::bad_alloc&) {
        throw;  // the process, not the file: never remembered
    } catch (const platform::ResourcesExhausted&) {
        throw;
    } catch (const std::exception& e) {
        memo->texts.emplace(std::move(key), Remembered{std::nullopt, true, e.what()});
        throw;
    } catch (...) {
        memo->texts.emplace(std::move(key), Remembered{std::nullopt, true, "unknown failure"});
        throw;
    }
    memo->texts.emplace(std::move(key), Remembered{trace.text, false, {}});
    return held;
}

struct Remembering {
    std::string_view keyword;
    RuleHandler library;
    RuleHandler remembering;
};
constexpr Remembering kRemembering[] = {
    {"FILESIZE", &FileSizeRule, &Remember<1, &FileSizeRule, &WholeValue>},
    {"CRC32", &Crc32Rule, &Remember<2, &Crc32Rule, &WholeValue>},
    {"MD5", &Md5Rule, &Remember<3, &Md5Rule, &WholeValue>},
    {"ENDMD5", &EndMd5Rule, &Remember<4, &EndMd5Rule, &EndRange>},
    {"SIZEMD5", &SizeMd5Rule, &Remember<5, &SizeMd5Rule, &TwoBars>},
    {"ICONMD5", &IconDigestRule, &Remember<6, &IconDigestRule, &NameAndDash<kMainIcon>>},
    {"BRMD5", &BitmapDigestRule, &Remember<7, &BitmapDigestRule, &NameAndDash<kFirstBitmap>>},
    {"RESMD5", &ResourceDigestRule, &Remember<8, &ResourceDigestRule, &TwoBars>},
    {"SECSIZE", &SectionSizeRule, &Remember<9, &SectionSizeRule, &WholeValue>},
    {"SSECMD5", &SectionDigestRule, &Remember<10, &SectionDigestRule, &NameAndDash<kCodeSection>>},
    {"SECMD5", &AllSectionsDigestRule, &Remember<11, &AllSectionsDigestRule, &WholeValue>},
};

// The library's keyword table with the remembering handlers in place of
// the library's own, row for row; a row whose handler is not the one
// expected here keeps its own.
std::vector<Keyword> MakeRememberingKeywords() {
    std::vector<Keyword> table(LibraryKeywords().begin(), LibraryKeywords().end());
    for (Keyword& k : table)
        for (const Remembering& r : kRemembering)
            if (k.name == r.keyword && k.handler == r.library) k.handler = r.remembering;
    return table;
}

const std::vector<Keyword>& RememberingKeywords() {
    static const std::vector<Keyword> table = MakeRememberingKeywords();
    return table;
}

}  // namespace

ListsOfOneFile::ListsOfOneFile(std::string fileName)
    : fileName_(std::move(fileName)), memo_(std::make_unique<RuleMemo>(fileName_)) {}

ListsOfOneFile::~ListsOfOneFile() = default;

bool ListsOfOneFile::Holds(const std::string& checkList, EvaluationObserver* observer) {
    struct Current {
        RuleMemo* before;
        explicit Current(RuleMemo* memo) : before(tCurrent) { tCurrent = memo; }
        ~Current() { tCurrent = before; }
        Current(const Current&) = delete;
        Current& operator=(const Current&) = delete;
    } current(memo_.get());
    return Evaluate(fileName_.c_str(), checkList.c_str(), RememberingKeywords(), nullptr, observer);
}

std::size_t ListsOfOneFile::Computed() const noexcept { return memo_->texts.size(); }

}  // namespace ondrel::tool
