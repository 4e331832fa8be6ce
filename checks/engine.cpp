#include "checks/engine.h"

#include <exception>
#include <new>
#include <string>

#include "checks/ascii.h"
#include "platform/file.h"

namespace ondrel {

namespace {

// Keeps why a rule threw for the observer; the result never depends on it.
void NoteReason(RuleTrace& trace, const char* why) noexcept {
    try {
        trace.reason = why;
    } catch (...) {
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
    try {
        return keyword.handler(context, value, trace) ? Outcome::Held : Outcome::Failed;
    } catch (const std::bad_alloc&) {
        if (watched) NoteReason(trace, "out of memory");
        return Outcome::Exhausted;
    } catch (const platform::ResourcesExhausted& e) {
        if (watched) NoteReason(trace, e.what());
        return Outcome::Exhausted;
    } catch (const std::exception& e) {
        if (watched) NoteReason(trace, e.what());
        return Outcome::Threw;
    } catch (...) {
        if (watched) NoteReason(trace, "unknown failure");
        return Outcome::Threw;
    }
}

}  // namespace

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
              EvaluationObserver* observer, const KnownDigests* known) {
    const std::string file = fileName ? fileName : "";
    const RuleContext context{file, caches, known};
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
