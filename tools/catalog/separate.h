#pragma once
// make --against: the cheapest check list, in bytes a host reads, that
// holds for one file and fails for every other file given.
//
// In order of cost: "FILESIZE" (no byte read) tells the file from every
// file of another size; then the fewest and smallest "SIZEMD5"/"ENDMD5"
// ranges, found by comparing the bytes of the files of its size and chosen
// greedily (the offset where the file differs from the most files not yet
// told apart, nearer an end first; differing bytes close to it join its
// range); then the "SSECMD5" of a section, when no range can be written
// where they differ; a whole-file "MD5" only when nothing smaller tells
// them apart. Files that hold the same bytes cannot be told apart at all.
// Every list is proved with the engine before it is given: it holds for
// the file and fails for every other one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ondrel::tool {

struct SeparatingRule {
    std::string entry;
    std::uint64_t bytesRead = 0;     // what a host reads for it (the directory search reads none)
    std::string why;                 // why it was chosen
    std::vector<std::size_t> tells;  // the other files it tells the file from, that no rule before it did
};

struct Separation {
    std::string checkList;               // empty when no list was made
    std::vector<SeparatingRule> rules;   // in the order of the list
    std::uint64_t bytesRead = 0;         // for the whole list
    std::uint64_t fileSize = 0;          // what "MD5" reads
    std::vector<std::size_t> same;       // other files that hold the same bytes as the file
    std::string problem;                 // why no list was made
};

// Where ranges may lie, and how they are cut. The defaults are those of
// the rules: offsets are signed 32-bit numbers.
struct SeparationLimits {
    std::uint64_t rangeEnd = 0x80000000;  // every range lies below this offset
    std::uint64_t joinGap = 64;           // a differing byte this close to a range joins it
    std::uint64_t longestRange = 4096;    // ... while the range stays this short
};

Separation Separate(const std::string& file, const std::vector<std::string>& others,
                    const SeparationLimits& limits = {});

// The proof: the list evaluated by the engine (no digest caches) against
// the file and against every other file.
struct Proof {
    bool holdsForFile = false;
    std::vector<std::size_t> holdsForOthers;
    bool Proved() const noexcept { return holdsForFile && holdsForOthers.empty(); }
};
Proof ProveList(const std::string& file, const std::vector<std::string>& others, const std::string& checkList);

}  // namespace ondrel::tool
