#pragma once
// Check-list evaluation: splitting, dispatch by keyword, and the combination
// of rule outcomes.
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ondrel {

// What a rule computed from the file, for those who watch an evaluation.
struct RuleTrace {
    bool hasText = false;
    std::string text;
    // Why the handler threw, when an observer watches: the exception's own
    // text ("not found", "sharing violation", "out of memory", ...).
    std::string reason;
    void Set(std::string computed) {
        text = std::move(computed);
        hasText = true;
    }
};

// A rule handler: called with the file name and the entry's value; true when
// the rule holds, false when it fails. It may throw; the evaluation then
// takes the rule as failed and goes on with the next entry.
using RuleHandler = bool (*)(const std::string& fileName, const std::string& value, RuleTrace& trace);

struct Keyword {
    std::string_view name;      // upper case
    RuleHandler handler;        // null for the entry that sets the result to true
};

// The library's keywords, in the order in which a name is tested.
std::span<const Keyword> LibraryKeywords() noexcept;

// The items of a check list: "," between items, double quotes around an item
// that holds commas or blanks (a doubled quote stands for one), and any byte
// from 1 to 32 ending an unquoted item. A null text is the empty text.
std::vector<std::string> SplitCheckList(const char* text);

// Name and value of one entry: the text before and after its first "=".
// Without "=" the name is empty and the value is the whole entry.
struct EntryParts {
    std::string name;
    std::string value;
};
EntryParts SplitEntry(const std::string& entry);

enum class Outcome {
    Held,          // the rule held; the result is unchanged
    Failed,        // the rule did not hold; evaluation stops
    Threw,         // the handler threw; the result is false and evaluation goes on
    SetTrue,       // the entry that sets the result to true
    Unrecognised,  // no keyword of that name; evaluation stops
    NotEvaluated,  // after a stop
};

const char* OutcomeName(Outcome outcome) noexcept;

// Watches an evaluation, entry by entry; it cannot change the result.
class EvaluationObserver {
public:
    virtual ~EvaluationObserver() = default;
    virtual void OnEntry(const std::string& entry, std::string_view keyword, const RuleTrace& trace,
                         Outcome outcome) = 0;
    virtual void OnResult(bool result) = 0;
};

// Evaluates a check list against a file: true when every rule held (also
// for an empty list). Exceptions from splitting (memory only) propagate.
bool Evaluate(const char* fileName, const char* checkList, std::span<const Keyword> keywords,
              EvaluationObserver* observer = nullptr);

}  // namespace ondrel
