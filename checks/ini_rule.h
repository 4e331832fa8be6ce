#pragma once
// The "INI" rule: a file read as INI text, and a search of its values for a
// fragment, ASCII letter case ignored.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ondrel {

// One section: its name between the brackets, trimmed, and its stored lines
// in file order. A line with "=" is stored as trimmed name, "=", trimmed
// value; a line without "=" is stored trimmed.
struct IniSection {
    std::string name;
    std::vector<std::string> lines;
};

// A parsed file: its sections in the order of their header lines. Sections
// of the same name are all kept.
struct IniDocument {
    std::vector<IniSection> sections;
};

// Parses INI text. Lines end at CR, LF or CR LF; the first NUL byte ends the
// text; bytes 1 to 32 are trimmed from both ends of a line; lines starting
// with ";" are comments; "[name]" opens a section; lines above the first
// header are not kept.
IniDocument ParseIniText(std::string_view bytes);

// The value of a stored line: the text after its first "=", empty without one.
std::string_view IniLineValue(std::string_view line) noexcept;

// Where a fragment was found: the section searched and the stored line.
struct IniMatch {
    std::string section;
    std::string line;
};

// Searches the values of the document for the rule value, ASCII letter case
// ignored. A section is found by its name compared through the ANSI upper-case
// mapping; of several sections with one name only the last is searched. An
// empty rule value is found nowhere. Answers the first match.
std::optional<IniMatch> FindIniValue(const IniDocument& document, std::string_view ruleValue);

// The whole file, read in one piece from an open that lets others read but
// not write; throws when the file cannot be opened or read.
std::string ReadWholeFile(const std::string& fileName);

// The file is found by a directory search (wildcards allowed in the last
// component), is no directory, and its last-write time in local time is a
// valid MS-DOS date (1980-01-01 to 2107-12-31). Throws only when memory
// runs out.
bool FilePresent(const std::string& fileName);

// The whole rule: false for a file that is not present; otherwise the file is
// read (which may throw), parsed and searched for the rule value.
bool IniFileHasValue(const std::string& fileName, const std::string& ruleValue);

}  // namespace ondrel
