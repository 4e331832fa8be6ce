#pragma once
// A catalogue's index on disk, beside it ("CATALOG.index"), so that a
// catalogue of millions of entries answers its first file without being
// read: the index is mapped and searched in place, and the few lines a file
// needs are read back from the catalogue by offset and read as
// ParseCatalogue reads them. The text stays the catalogue; the index is used
// only while it describes the very file it was made from.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/mapping.h"
#include "platform/result.h"
#include "tools/catalog/catalog.h"

namespace ondrel::tool {

// The one name rule: the catalogue's name with ".index" after it.
std::string IndexNameOf(const std::string& catalogue);

// The index file, in the byte order of the machine that wrote it (the
// header says which), every table 8-byte aligned:
//   IndexHeader;
//   entries: one IndexedEntry per entry, in catalogue order (an entry's
//     position here is the entry's number in FileMatch::held);
//   sized: one SizedEntry per entry that requires a size, sorted by hash,
//     then entry;
//   unsized: the entry numbers (8 bytes each) of those that require none;
//   damaged: per damaged line its number and the length of its damage (8
//     bytes each), then the damage's text, padded to 8 bytes.
constexpr std::uint32_t kIndexVersion = 1;
constexpr std::uint32_t kIndexByteOrder = 0x01020304;

struct IndexHeader {
    char magic[8];  // "ondrelIX"
    std::uint32_t version;
    std::uint32_t byteOrder;
    // The catalogue's identity when it was indexed (platform::FileIdentity).
    std::uint64_t volume;
    std::uint64_t fileNumber;
    std::uint64_t size;
    std::int64_t modified;
    std::int64_t changed;
    // 1: the catalogue had changed within the resolution of its times when
    // it was indexed, so its identity alone cannot tell a later rewrite:
    // its MD5 is kept and checked at every use.
    std::uint32_t digestKept;
    std::uint32_t unused;
    unsigned char digest[16];
    std::uint64_t entries;
    std::uint64_t sized;
    std::uint64_t unsized;
    std::uint64_t damaged;
    std::uint64_t damagedBytes;
    std::uint64_t check;  // FNV-1a of the bytes before it
};

// The header's check: FNV-1a of its bytes before the check.
std::uint64_t IndexHeaderCheck(const IndexHeader& header) noexcept;

struct IndexedEntry {
    std::uint64_t offset;  // of the line's text, after any byte-order mark
    std::uint32_t length;  // without the line end (CR LF or LF); the top bit: kNeighboursOnly
    std::uint32_t line;
};

// The bit of IndexedEntry::length that marks an entry made against a few files.
inline constexpr std::uint32_t kNeighboursOnly = 0x80000000u;

struct SizedEntry {
    std::uint64_t sizeHash;  // FNV-1a of the size text
    std::uint64_t entry;
};

// What an index holds, as written.
struct IndexWritten {
    std::string name;
    std::uint64_t entries = 0, unsized = 0, bytes = 0;
    std::vector<DamagedLine> damaged;
    bool digestKept = false;
};

// Writes the catalogue's index, reading the catalogue twice in chunks (the
// second time to number the entries once names given before are known).
// Memory: 16 bytes per entry for the sort, and the damaged lines. Fails when
// the catalogue cannot be read, changed while it was read, or has lines
// beyond what the index counts (2^32 - 1 lines, a line of 4 GiB).
platform::Result<IndexWritten, platform::Reason> WriteCatalogueIndex(const std::string& catalogue);

// Why an index is not used: there is none (or no catalogue to check it
// against), or it is stale, damaged or of another version (why).
struct IndexRefusal {
    bool absent = false;
    std::string why;
};

// A catalogue read through its index: the catalogue stays open (the lines
// are read from the file that was checked), the index mapped.
class IndexedCatalogue {
public:
    // The catalogue through its index, when the index is whole, of this
    // version, and made from the catalogue as it is now.
    static platform::Result<IndexedCatalogue, IndexRefusal> Open(const std::string& catalogue);

    std::size_t Entries() const noexcept { return static_cast<std::size_t>(header_.entries); }
    std::size_t Unsized() const noexcept { return static_cast<std::size_t>(header_.unsized); }
    const std::vector<DamagedLine>& Damaged() const noexcept { return damaged_; }

    // As MatchFile over the whole catalogue: the same candidates, held
    // entries and problems. Many files may be matched at once.
    FileMatch Match(const std::string& path) const;
    // One entry, read back from the catalogue.
    platform::Result<CatalogueEntry, platform::Reason> Entry(std::size_t entry) const;

private:
    IndexedCatalogue() = default;
    // The candidates' entries, read back, and their numbers.
    platform::Result<std::vector<CatalogueEntry>, platform::Reason> CandidatesOf(const std::string& sizeText,
                                                                               std::vector<std::size_t>& numbers) const;

    platform::File catalogue_;
    platform::Mapping index_;
    IndexHeader header_{};
    std::vector<DamagedLine> damaged_;
};

// A catalogue as identify and catalog check use it: read whole from its
// text, or through its index.
class LoadedCatalogue {
public:
    explicit LoadedCatalogue(Catalogue whole);
    explicit LoadedCatalogue(IndexedCatalogue indexed);

    bool Indexed() const noexcept { return indexed_.has_value(); }
    std::size_t Entries() const noexcept;
    const std::vector<DamagedLine>& Damaged() const noexcept;
    FileMatch Match(const std::string& path) const;
    // Every entry in catalogue order (read back through the index when
    // there is one), or why they could not be read.
    platform::Result<const std::vector<CatalogueEntry>*, platform::Reason> AllEntries();

private:
    std::optional<Catalogue> whole_;
    std::optional<CatalogueIndex> sizes_;
    std::optional<IndexedCatalogue> indexed_;
};

}  // namespace ondrel::tool
