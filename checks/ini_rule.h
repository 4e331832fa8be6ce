#pragma once
// The "INI" rule: the file read as INI text, and a search of its values for
// a fragment, ASCII letter case ignored.
//
// The text: lines end at CR, LF or CR LF; the first NUL byte ends the text;
// bytes 1 to 32 are trimmed from both ends of a line; lines starting with
// ";" are comments; "[name]" opens a section; a line with "=" is a name and
// a value (each trimmed); lines above the first header are not looked at.
// The rule holds when a value of a section that is the last of its name
// (names compared by the fold of platform::FoldSectionName) holds the
// fragment; an empty fragment holds nowhere.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/name_hash.h"
#include "platform/reader.h"
#include "platform/text.h"

namespace ondrel {

// Where a value holding the fragment stands in the text: the offsets of its
// section's header line and of its own line.
struct IniMatchAt {
    std::uint64_t headerOffset = 0;
    std::uint64_t lineOffset = 0;
};

// Searches INI text fed in pieces of any size, in memory bounded whatever
// the text: no line and no name is held whole. What it holds grows only
// with the sections whose values hold the fragment (about 100 bytes each);
// when they outgrow kCandidateBudget the search says so, and the text is
// to be searched again in twice as many parts: a search of part p of n
// follows only the section names whose hash falls in p, and the parts
// together answer what one search of the whole answers.
class IniValueSearch {
public:
    static constexpr std::size_t kCandidateBudget = 16u << 20;

    explicit IniValueSearch(std::string_view ruleValue, std::uint32_t parts = 1, std::uint32_t part = 0,
                            std::size_t budget = kCandidateBudget);
    IniValueSearch(const IniValueSearch&) = delete;
    IniValueSearch& operator=(const IniValueSearch&) = delete;

    // The next bytes of the text; everything from the first NUL on is ignored.
    void Feed(std::string_view bytes);
    // Ends the text: its last line needs no break.
    void Finish();
    // The sections that hold the fragment outgrew the budget: search again
    // in more parts.
    bool Overflowed() const noexcept { return overflowed_; }
    // After Finish: the earliest value that holds the fragment in a section
    // that is the last of its name (in this part); nothing when none does.
    std::optional<IniMatchAt> Match() const;

private:
    // A run of blanks after a name's last byte so far: part of the name
    // only if a non-blank byte follows.
    struct BlankRun {
        platform::PolynomialHash hash;
        void Add(char c) { hash.Add(static_cast<unsigned char>(c)); }
    };
    // The name of a line that may be a header, "[" name "]", as it comes:
    // its fold is hashed as its bytes are known to belong to it.
    struct HeaderName {
        platform::SectionNameHasher hasher;
        BlankRun inner;         // blanks between the name so far and last
        BlankRun after;         // blanks after last
        std::optional<char> last;  // the last non-blank byte, which may be the closing "]"
        void Byte(char c);
    };
    struct Section {
        platform::PolynomialHash name;
        bool inPart = false;
        bool matched = false;  // a value of it holds the fragment
        std::uint64_t order = 0;
        std::uint64_t headerOffset = 0;
    };
    struct Candidate {
        std::uint64_t order = 0;
        std::uint64_t headerOffset = 0;
        std::uint64_t lineOffset = 0;
    };
    struct NameHash {
        std::size_t operator()(const platform::PolynomialHash& h) const noexcept {
            return static_cast<std::size_t>(h.Mix());
        }
    };

    void StartLine();
    void LineBytes(std::string_view bytes);
    void EndLine();
    void ValueByte(char c);
    bool InPart(const platform::PolynomialHash& name) const noexcept;

    std::string needle_;                  // upper-cased
    std::vector<std::uint32_t> failure_;  // Knuth-Morris-Pratt: the longest proper border of each prefix
    std::uint32_t parts_;
    std::uint32_t part_;
    std::size_t budget_;

    std::uint64_t offset_ = 0;  // of the next byte fed
    bool ended_ = false;
    bool overflowed_ = false;

    // The line being read.
    std::uint64_t lineOffset_ = 0;
    bool lineBegun_ = false;  // a non-blank byte came
    char first_ = 0;          // the first non-blank byte
    char last_ = 0;           // the last non-blank byte
    bool equals_ = false;     // an "=" came
    bool valueBegun_ = false;
    std::uint32_t matched_ = 0;  // bytes of the needle matched so far
    bool matchPending_ = false;  // a match ended among blanks: it counts if a non-blank follows
    bool valueHolds_ = false;
    bool searching_ = false;     // the line's value is to be searched
    HeaderName header_;

    std::optional<Section> section_;
    std::uint64_t sections_ = 0;
    std::unordered_map<platform::PolynomialHash, Candidate, NameHash> candidates_;
};

// The search of a whole file opened for reading: in one part, and in more
// while the candidates outgrow the budget. Throws platform::FileReadError
// when a read fails.
std::optional<IniMatchAt> SearchIniFile(platform::FileReader& file, std::string_view ruleValue,
                                        std::size_t budget = IniValueSearch::kCandidateBudget);

// "[section] name=value" of a match: its lines read back (at most 64 KiB of
// each), trimmed as the rule trims them.
std::string DescribeIniMatch(platform::FileReader& file, const IniMatchAt& at);

// The file is found by a directory search (wildcards allowed in the last
// component), is no directory, and its last-write time in local time is a
// valid MS-DOS date (1980-01-01 to 2107-12-31). Throws only when the process
// runs out of its own resources.
bool FilePresent(const std::string& fileName);

}  // namespace ondrel
