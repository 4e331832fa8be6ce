#pragma once
// The INI rule written out the plain way, for tests to hold the rule's
// streaming search to: the whole text parsed into a document, then the
// values of the last section of each name searched.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ondrel::testing {

// One section: its name between the brackets, trimmed, and its stored lines
// in file order. A line with "=" is stored as trimmed name, "=", trimmed
// value; a line without "=" is stored trimmed.
struct IniSection {
    std::string name;
    std::vector<std::string> lines;
    bool operator==(const IniSection&) const = default;
};

struct IniDocument {
    std::vector<IniSection> sections;
};

// Lines end at CR, LF or CR LF; the first NUL byte ends the text; bytes 1 to
// 32 are trimmed from both ends of a line; lines starting with ";" are
// comments; "[name]" opens a section; lines above the first header are not kept.
IniDocument ParseIniText(std::string_view bytes);

// Where a fragment was found: the section searched and the stored line.
struct IniMatch {
    std::string section;
    std::string line;
    bool operator==(const IniMatch&) const = default;
};

// Every header in order leads to the last section whose name folds to the
// same text (platform::FoldSectionName), whose values are searched for the
// fragment, ASCII letter case ignored; the first match found. An empty
// fragment is found nowhere.
std::optional<IniMatch> FindIniValue(const IniDocument& document, std::string_view ruleValue);

}  // namespace ondrel::testing
