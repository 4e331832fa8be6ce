#include "checks/engine.h"

#include <exception>
#include <new>
#include <string>

#include "checks/ascii.h"
#include "platform/file.h"

namespace ondrel {

namespace {

// Keeps why a rule threw; the result never depends on it.
void NoteReason(std::string& reason, const char* why) noexcept {
    try {
        reason = why;
    } catch (...) {
    }
}

// Runs a rule's work (true when it holds): its outcome, with why it threw
// in reason when one is given. Without one, nothing of what was thrown is
// looked at: the library's own calls ask no reason.
template <typename Work>
Outcome Guarded(Work work, std::string* reason) {
    try {
        return work() ? Outcome::Held : Outcome::Failed;
    } catch (const std::bad_alloc&) {
        if (reason) NoteReason(*reason, "out of memory");
        return Outcome::Exhausted;
    } catch (const platform::ResourcesExhausted& e) {
        if (reason) NoteReason(*reason, e.what());
        return Outcome::Exhausted;
    } catch (const std::exception& e) {
        if (reason) NoteReason(*reason, e.what());
        return Outcome::Threw;
    } catch (...) {
        if (reason) NoteReason(*reason, "unknown failure");
        return Outcome::Threw;
    }
}

const Keyword* FindKeyword(std::span<const Keyword> keywords, const std::string& name) noexcept {
    for (const Keyword& k : keywords)
        if (k.name == name) return &k;
    return nullptr;
}

// Runs one rule: its outcome, and its trace for the observer.
Outcome RunRule(const Keyword& keyword, const RuleContext& context, const std::string& value, RuleTrace& trace,
                bool watched) {
    return Guarded([&] { return keyword.handler(context, value, trace); }, watched ? &trace.reason : nullptr);
}

}  // namespace

std::optional<std::string> ComputeEntryText(const Keyword& keyword, const RuleContext& context,
                                            const RuleArguments& arguments, std::string& why) {
    std::string text;
    const Outcome outcome = Guarded(
        [&] {
            text = ComputeText(keyword.compute, context, arguments);
            return true;
        },
        &why);
    if (outcome != Outcome::Held) return std::nullopt;
    return text;
}

const char* OutcomeName(Outcome outcome) noexcept {
    switch (outcome) {
        case Outcome::Held: return "held";
        case Outcome::Failed: return "failed";
        case Outcome::Threw: return "threw, evaluation goes on";
        case Outcome::Exhausted: return "out of resources, evaluation ends";
        case Outcome::SetTrue: return "result set to true";
        case Outcome::Unrecognised: return "unrecognised, failed";
        case Outcome::NotEvaluated: return "not evaluated";
    }
    return "?";
}

bool Evaluate(const char* fileName, const char* checkList, std::span<const Keyword> keywords, DigestCaches* caches,
              EvaluationObserver* observer, const KnownDigests* known, ComputedTexts* texts) {
    const std::string file = fileName ? fileName : "";
    const RuleContext context{file, caches, known, texts};
    CheckListReader reader(checkList);
    bool result = true;
    bool stopped = false;
    while (std::optional<CheckListItem> item = reader.Next()) {
        if (stopped) {
            if (!observer) break;
            observer->OnEntry(*item, {}, RuleTrace{}, Outcome::NotEvaluated);
            continue;
        }
        EntryParts parts = SplitEntry(item->text);
        AsciiUpper(parts.name);
        const Keyword* keyword = FindKeyword(keywords, parts.name);

        RuleTrace trace;
        Outcome outcome;
        if (!keyword) outcome = Outcome::Unrecognised;
        else if (!keyword->handler) outcome = Outcome::SetTrue;
        else outcome = RunRule(*keyword, context, parts.value, trace, observer != nullptr);

        if (outcome == Outcome::SetTrue) result = true;
        else if (outcome != Outcome::Held) result = false;
        // A rule that completed with the result false stops the evaluation;
        // after a throw it goes on, so that a following FLAGIFNOFILE can
        // rescue it; an exhausted process ends it whatever follows.
        stopped = outcome == Outcome::Exhausted || (!result && outcome != Outcome::Threw);
        if (observer) observer->OnEntry(*item, keyword ? keyword->name : std::string_view(), trace, outcome);
    }
    if (observer) observer->OnResult(result);
    return result;
}

}  // namespace ondrel
