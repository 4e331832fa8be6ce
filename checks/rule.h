#pragma once
// What a rule is to the engine, and what the engine hands a rule: the
// handler's signature, the trace of what it computed, and a keyword-table row.
// Both the engine and the rule families include this; neither includes the other.
#include <string>
#include <string_view>
#include <utility>

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

// One row of a keyword table. Names are compared exactly (after the entry's
// name is upper-cased), so the order of the rows decides nothing.
struct Keyword {
    std::string_view name;  // upper case
    RuleHandler handler;    // null for the entry that sets the result to true
};

}  // namespace ondrel
