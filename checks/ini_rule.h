#pragma once
// The "INI" rule: a file read as INI text, and a search of its values for a
// fragment, ASCII letter case ignored.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// FindIniValue over ParseIniText of text fed in pieces of any size, without
// keeping the document: it holds the line being read and, per distinct
// section name, the name and first matching line of the last section that
// carries it (the only one FindIniValue searches). Answers what FindIniValue
// answers for the whole text.
class IniValueSearch {
public:
    explicit IniValueSearch(std::string_view ruleValue);
    IniValueSearch(const IniValueSearch&) = delete;
    IniValueSearch& operator=(const IniValueSearch&) = delete;

    // The next bytes of the text; everything from the first NUL on is ignored.
    void Feed(std::string_view bytes);
    // Ends the text: its last line needs no break.
    std::optional<IniMatch> Finish();

private:
    struct NameState {
        std::string section;              // the name as the last header wrote it
        std::optional<std::string> line;  // its first stored line that holds the needle
    };
    void Line(std::string_view raw);
    bool Holds(std::string_view value);

    std::string needle_;
    // Boyer-Moore keeps the search linear in the value's length.
    std::optional<std::boyer_moore_searcher<std::string::const_iterator>> searcher_;
    std::string line_;   // the part of a line that a piece ended in
    std::string upper_;  // scratch: a value upper-cased
    std::string key_;    // scratch: a section name upper-cased
    bool ended_ = false;
    std::vector<NameState> names_;  // in the order the names first appear
    std::unordered_map<std::string, std::size_t> index_;
    std::optional<std::size_t> current_;
};

// The file is found by a directory search (wildcards allowed in the last
// component), is no directory, and its last-write time in local time is a
// valid MS-DOS date (1980-01-01 to 2107-12-31). Throws only when memory
// runs out.
bool FilePresent(const std::string& fileName);

// The whole rule: false for a file that is not present; otherwise the file is
// opened (throws platform::FileOpenError when it cannot be, or is no regular
// disk file), read in chunks and searched as it is read (throws
// platform::FileReadError when a read fails).
bool IniFileHasValue(const std::string& fileName, const std::string& ruleValue);

}  // namespace ondrel
