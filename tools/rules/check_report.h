#pragma once
// ondrel check: the engine's trace of a check list against a file, with why
// rules threw, notes where a rule held or failed on nothing, and hints.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checks/engine.h"

namespace ondrel::tool {

struct EntryReport {
    std::string entry;
    std::size_t group = 0;             // entries only blanks separate share a group
    const Keyword* keyword = nullptr;  // the keyword-table row; null when none matched
    std::optional<std::string> computed;
    Outcome outcome = Outcome::NotEvaluated;
    std::string reason;                // why the rule threw
    std::vector<std::string> notes;    // the rule held or failed on nothing
    std::vector<std::string> hints;    // how the entry was probably meant
};

struct CheckReport {
    std::vector<EntryReport> entries;
    bool result = false;
    std::vector<std::string> notes;  // about the list as a whole
    std::vector<std::string> hints;  // about the arguments as a whole
};

// Evaluates the list with the library's engine (no digest caches) and
// explains each entry. The file is looked at only as far as the notes of
// the rules in the list need.
CheckReport RunCheck(const std::string& fileName, const std::string& checkList);

// A hint when FILE and CHECKLIST were probably given the other way round:
// the file names nothing and reads like a check list, and the list names a
// file and is not wholly made of known keywords. Looks the names up.
std::optional<std::string> SwappedArgumentsHint(const std::string& fileName, const std::string& checkList);

// The known keyword nearest to a name (edit distance); empty when none is near.
std::string NearestKeyword(std::string_view name);

// Whether every entry of the text names a keyword of the library (and there
// is one): the text reads as a check list.
bool ReadsAsCheckList(const std::string& text);

}  // namespace ondrel::tool
