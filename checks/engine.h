#pragma once
// Check-list evaluation: dispatch by keyword and the combination of rule
// outcomes, over the items of the list as they are split (check_list.h).
// The engine knows no rule: the caller hands it a keyword table (the
// library's is LibraryKeywords() in checks/rules.h).
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "checks/check_list.h"
#include "checks/rule.h"

namespace ondrel {

enum class Outcome {
    Held,          // the rule held; the result is unchanged
    Failed,        // the rule did not hold; evaluation stops
    Threw,         // the handler threw; the result is false and evaluation goes on
    Exhausted,     // the process ran out of its own resources; the result is false and evaluation stops
    SetTrue,       // the entry that sets the result to true
    Unrecognised,  // no keyword of that name; evaluation stops
    NotEvaluated,  // after a stop
};

const char* OutcomeName(Outcome outcome) noexcept;

// Watches an evaluation, entry by entry; it cannot change the result.
class EvaluationObserver {
public:
    virtual ~EvaluationObserver() = default;
    // keyword is the row's name, or empty when no row matched or the entry
    // was not evaluated.
    virtual void OnEntry(const CheckListItem& item, std::string_view keyword, const RuleTrace& trace,
                         Outcome outcome) = 0;
    virtual void OnResult(bool result) = 0;
};

// The text a row that computes (Keyword::compute) computes for the
// arguments, as an entry with them would compute it; nothing, and why (as
// an observer is told), when it threw. The expected text is no part of it.
std::optional<std::string> ComputeEntryText(const Keyword& keyword, const RuleContext& context,
                                            const RuleArguments& arguments, std::string& why);

// Evaluates a check list against a file: true when every rule held (also
// for an empty list). The rules use the caches given, or compute every
// digest when there are none, and take what is known of the file from
// known. With texts, the rules that compute and compare take the texts
// computed for this file before, and keep theirs there (see ComputedTexts).
// The list is split as it is evaluated, and no further than the entry that
// stops the evaluation unless an observer watches. Exceptions from
// splitting (memory only) propagate.
bool Evaluate(const char* fileName, const char* checkList, std::span<const Keyword> keywords, DigestCaches* caches,
              EvaluationObserver* observer = nullptr, const KnownDigests* known = nullptr,
              ComputedTexts* texts = nullptr);

}  // namespace ondrel
