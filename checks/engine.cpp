#include "checks/engine.h"

#include <exception>
#include <new>

#include "checksums/hex.h"
#include "platform/text.h"

namespace ondrel {

namespace {

// Keeps why a rule threw for the observer; the result never depends on it.
void NoteReason(RuleTrace& trace, const char* why) noexcept {
    try {
        trace.reason = why;
    } catch (...) {
    }
}

bool IsBlank(char c) { return c >= 1 && c <= 32; }

// One character of the ANSI code page: [p, NextChar(p)).
struct Cursor {
    const char* p;
    const char* next() const { return platform::NextChar(p); }
    bool AtEnd() const { return *p == '\0'; }
    // The current character is exactly the one byte c.
    bool Is(char c) const { return *p == c && next() == p + 1; }
    bool IsBlankChar() const { return IsBlank(*p) && next() == p + 1; }
    void Step() { p = next(); }
    void SkipBlanks() {
        while (!AtEnd() && IsBlankChar()) Step();
    }
};

}  // namespace

std::vector<std::string> SplitCheckList(const char* text) {
    std::vector<std::string> items;
    if (!text) return items;
    Cursor c{text};
    c.SkipBlanks();
    while (!c.AtEnd()) {
        std::string item;
        if (c.Is('"')) {
            c.Step();
            while (!c.AtEnd()) {
                if (c.Is('"')) {
                    c.Step();
                    if (!c.Is('"')) break;  // the closing quote, consumed
                }
                const char* start = c.p;
                c.Step();
                item.append(start, c.p);
            }
        } else {
            while (!c.AtEnd() && !c.Is(',') && !c.IsBlankChar()) {
                const char* start = c.p;
                c.Step();
                item.append(start, c.p);
            }
        }
        items.push_back(std::move(item));
        c.SkipBlanks();
        if (c.Is(',')) {
            Cursor after{c.next()};
            if (after.AtEnd()) items.emplace_back();  // a trailing "," adds an empty item
            c = after;
            c.SkipBlanks();
        }
    }
    return items;
}

EntryParts SplitEntry(const std::string& entry) {
    Cursor c{entry.c_str()};
    while (!c.AtEnd() && !c.Is('=')) c.Step();
    std::size_t at = static_cast<std::size_t>(c.p - entry.c_str());
    // An "=" after an embedded zero byte cannot be seen by a character walk.
    if (c.AtEnd()) return {std::string(), entry};
    return {entry.substr(0, at), entry.substr(at + 1)};
}

const char* OutcomeName(Outcome outcome) noexcept {
    switch (outcome) {
        case Outcome::Held: return "held";
        case Outcome::Failed: return "failed";
        case Outcome::Threw: return "threw, evaluation goes on";
        case Outcome::SetTrue: return "result set to true";
        case Outcome::Unrecognised: return "unrecognised, failed";
        case Outcome::NotEvaluated: return "not evaluated";
    }
    return "?";
}

bool Evaluate(const char* fileName, const char* checkList, std::span<const Keyword> keywords,
              EvaluationObserver* observer) {
    const std::string file = fileName ? fileName : "";
    const std::vector<std::string> entries = SplitCheckList(checkList);
    bool result = true;
    std::size_t i = 0;
    for (; i < entries.size(); ++i) {
        EntryParts parts = SplitEntry(entries[i]);
        AsciiUpper(parts.name);
        const Keyword* keyword = nullptr;
        for (const Keyword& k : keywords)
            if (k.name == parts.name) {
                keyword = &k;
                break;
            }

        RuleTrace trace;
        Outcome outcome;
        if (!keyword) {
            result = false;
            outcome = Outcome::Unrecognised;
        } else if (!keyword->handler) {
            result = true;
            outcome = Outcome::SetTrue;
        } else {
            try {
                bool held = keyword->handler(file, parts.value, trace);
                if (!held) result = false;
                outcome = held ? Outcome::Held : Outcome::Failed;
            } catch (const std::exception& e) {
                result = false;
                outcome = Outcome::Threw;
                if (observer)
                    NoteReason(trace, dynamic_cast<const std::bad_alloc*>(&e) ? "out of memory" : e.what());
            } catch (...) {
                result = false;
                outcome = Outcome::Threw;
                if (observer) NoteReason(trace, "unknown failure");
            }
        }
        if (observer) observer->OnEntry(entries[i], keyword ? keyword->name : std::string_view(), trace, outcome);
        // A rule that completed with the result false stops the evaluation;
        // after a throw it goes on, so that a following FLAGIFNOFILE can rescue it.
        if (!result && outcome != Outcome::Threw) break;
    }
    if (observer) {
        const RuleTrace none;
        for (++i; i < entries.size(); ++i) observer->OnEntry(entries[i], {}, none, Outcome::NotEvaluated);
        observer->OnResult(result);
    }
    return result;
}

}  // namespace ondrel
