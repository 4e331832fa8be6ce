#pragma once
// Catalogues: named check lists, one line each, "name<TAB>check list",
// with the escapes, comments, CR LF and byte-order mark of manifests; and
// which of their entries hold for a file.
//
// An entry whose list requires an exact size ("FILESIZE=N") can hold only
// for a file of that size: the rule never throws, and a rule that does not
// hold stops the evaluation with the result false. So the entries are
// indexed by that size, and a file is evaluated only against the entries of
// its size and those that require none, all of them through one
// ListsOfOneFile (each rule's text computed once for the file).
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/result.h"

namespace ondrel::tool {

struct CatalogueEntry {
    std::size_t line = 0;  // from 1
    std::string name;
    std::string checkList;
    // The line before it is the mark make --against writes: the list was
    // made to tell its file from a few known files only, so it may hold for
    // an unknown build as well.
    bool neighboursOnly = false;
};

// The comment line make writes before an entry it made --against N other
// files: "#against<TAB>N". Readers that know it not skip it as a comment.
inline constexpr std::string_view kAgainstMark = "#against";

struct DamagedLine {
    std::size_t line = 0;
    std::string damage;
};

struct Catalogue {
    std::vector<CatalogueEntry> entries;  // in the order of their lines
    std::vector<DamagedLine> damaged;
};

Catalogue ParseCatalogue(std::string_view text);

// What one line of a catalogue (without its line end) holds: nothing (a
// blank line, a comment), an entry (its line left 0), or damage. The one
// reading of a line, for the whole text and for a line read back by an
// index. A name given before is not seen here: that takes the lines before.
struct CatalogueLineRead {
    enum class Kind { Nothing, Entry, Damaged };
    Kind kind = Kind::Nothing;
    bool marksNext = false;  // nothing, but the mark of the entry on the next line
    CatalogueEntry entry;
    std::string damage;
};
CatalogueLineRead ReadCatalogueLine(std::string_view line);

// The damage of a line whose name an earlier entry has.
std::string RepeatedNameDamage(std::size_t firstLine);

// One line of a catalogue (without its line feed).
std::string CatalogueLine(const std::string& name, const std::string& checkList);

// The value of the list's first "FILESIZE" entry: the size text (as the
// rule computes it, decimal) that a file must have for the list to hold;
// nothing when the list has no such entry.
std::optional<std::string> RequiredSize(const std::string& checkList);

class CatalogueIndex {
public:
    explicit CatalogueIndex(const Catalogue& catalogue);
    // The entries that may hold for a file whose size text is that, in
    // catalogue order: those requiring that size and those requiring none.
    std::vector<std::size_t> Candidates(const std::string& sizeText) const;
    std::size_t Unsized() const noexcept { return unsized_.size(); }

private:
    std::unordered_map<std::string, std::vector<std::size_t>> bySize_;
    std::vector<std::size_t> unsized_;
};

// Which entries hold for one file.
struct FileMatch {
    std::vector<std::size_t> held;   // entries, in catalogue order
    std::vector<std::string> names;  // of those entries
    std::vector<bool> neighboursOnly;  // of those entries: marked as made against a few files
    std::size_t candidates = 0;      // entries evaluated
    std::string problem;             // why the file could not be matched (no regular file there, the
                                     // process out of resources); empty when it was
};

// The entries whose lists hold for the file, each list evaluated by the
// library's engine. A path that leads to no regular file (before or after
// the lists ran) is a problem, whatever the lists would say: an empty list,
// "FILESIZE=0" and "FLAGIFNOFILE=" hold on nothing. So is a list whose
// evaluation ran out of the process's resources (it answered false for
// want of them, not for the file). This is all the work of one file, so
// many files may be matched at once.
FileMatch MatchFile(const std::string& path, const Catalogue& catalogue, const CatalogueIndex& index);

// The same for entries found some other way (an index on disk): for a size
// text, the entries that may hold for a file of that size, in catalogue
// order, each with its position in the catalogue; or why they could not be
// had (a problem of the file's match). The entries pointed to live until
// the next call.
struct Candidate {
    std::size_t entry = 0;
    const CatalogueEntry* read = nullptr;
};
using CandidatesOfSize = std::function<platform::Result<std::vector<Candidate>, platform::Reason>(const std::string&)>;
FileMatch MatchFile(const std::string& path, const CandidatesOfSize& candidatesOf);

}  // namespace ondrel::tool
