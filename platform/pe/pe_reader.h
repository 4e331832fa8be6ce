#pragma once
// The PE/COFF file format, read from a byte source: the section table and
// the resource directory, through positioned reads of only the bytes it
// needs. This is file-format code, not a third operating system: the POSIX
// side of the platform uses it in place of the system's image services
// (ImageLoad, LoadLibraryExA as a data file, FindResourceA), which the
// Windows side calls; tests hold the two to the same answers.
//
// Every offset, count and size taken from the file passes one gate
// (ByteReader::Read) that checks it against the file's size in 64-bit
// arithmetic before a byte is read; nothing is allocated in proportion to a
// field of the file beyond what the file itself can hold, and every walk is
// bounded.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/byte_source.h"
#include "platform/result.h"

namespace ondrel::pe {

// Why the reader gives no answer.
enum class Failure : std::uint8_t {
    None,
    ReadFailed,                // the file could not be read where it lies
    NoMz,                      // no "MZ" at the start of the file
    ShortDosHeader,            // "MZ", but the file ends inside the DOS header
    NtHeadersPastEnd,          // e_lfanew leaves no room for the PE signature
    NoPeSignature,
    FileHeaderPastEnd,         // the COFF file header runs past the end of the file
    UnknownOptionalHeader,     // its magic is neither PE32 nor PE32+, or it is not in the file
    NoResourceDirectory,       // no resource data directory, or an empty one
    ResourceDirectoryNowhere,  // its address lies in no section's raw data
    ResourceDirectoryPastEnd,  // the root directory runs past the end of the file
    ResourceEntryPastEnd,      // an entry or name searched runs past the end of the file
    NoSuchType,
    NoSuchName,
    NoSuchLanguage,
    ResourceDataOutside,       // the data entry, or the data it points to, is not in the file
};

// A short text for a failure, to show to people ("no PE signature").
const char* FailureText(Failure failure) noexcept;

// A value, or why there is none.
template <typename T>
using Result = platform::Result<T, Failure>;

// Where the reader gets its bytes from: a file or bytes kept in memory
// (platform::FileReader), or a source of a test.
using platform::ByteSource;

// The fields of a section header that the rules, the resource lookup and
// the tools use.
struct SectionHeader {
    std::array<char, 8> name{};
    std::uint32_t virtualSize = 0;
    std::uint32_t virtualAddress = 0;
    std::uint32_t sizeOfRawData = 0;
    std::uint32_t pointerToRawData = 0;
    std::uint32_t characteristics = 0;
};

// The section table as far as it lies inside the file: when the table runs
// past the end of the file, headers holds the entries before the first one
// that does not lie wholly inside.
struct SectionTable {
    std::vector<SectionHeader> headers;
    std::uint16_t numberOfSections = 0;
    bool complete() const noexcept { return headers.size() == numberOfSections; }
};

// The file offset of an address relative to the image, through the first
// section in table order whose raw data covers it (the sum wraps in 32 bits,
// as the platform computes it, so a section whose end wraps covers nothing);
// nothing when no section covers it. Searched in table order.
std::optional<std::uint64_t> RvaToOffset(const SectionTable& table, std::uint32_t rva);

// The same answers as RvaToOffset, from an index made once: the bounds of
// the sections sorted cut the addresses into spans, each owned by the first
// section in table order that covers it. A lookup costs log(sections), so
// many lookups in an image of many sections stay linear in all.
class SectionIndex {
public:
    SectionIndex() = default;
    explicit SectionIndex(const SectionTable& table);
    std::optional<std::uint64_t> FileOffset(std::uint32_t rva) const;

private:
    struct Owner {
        bool any = false;
        std::uint32_t virtualAddress = 0;
        std::uint32_t pointerToRawData = 0;
    };
    std::vector<std::uint32_t> starts_;  // the spans' first addresses, ascending
    std::vector<Owner> owners_;          // owners_[k]: the section of [starts_[k], starts_[k + 1])
};

// The offsets of the headers of an image, as the file gives them.
struct ImageHeaders {
    std::uint32_t ntHeaders = 0;       // e_lfanew: the PE signature
    std::uint16_t numberOfSections = 0;
    std::uint16_t sizeOfOptionalHeader = 0;
    std::uint64_t sectionTable = 0;    // file offset of the first section header
};

// A DOS header ("MZ", 64 bytes) whose e_lfanew leads to "PE\0\0" and a whole
// COFF file header inside the file; why not otherwise. The optional header
// is not required to be valid (the image-help service does not ask for it).
Result<ImageHeaders> ReadImageHeaders(ByteSource& source);

// NumberOfSections and the section table after the optional header, PE32
// and PE32+ alike; why not when the file is no image.
Result<SectionTable> ReadSectionTable(ByteSource& source);

// The section table from bytes already in memory: numberOfSections headers
// from table, as many of them as lie wholly inside its first available bytes.
SectionTable DecodeSectionTable(std::uint16_t numberOfSections, const unsigned char* table,
                                std::uint64_t available);

// A resource type or name: an integer identifier, or a name. The rules
// hold names as the 8-bit text handed to the lookup (NumberOrName<std::string>);
// the directory holds them as UTF-16 (ResourceKey).
template <typename Text>
struct NumberOrName {
    bool isId = true;
    std::uint16_t id = 0;
    Text name;

    static NumberOrName Id(std::uint16_t value) { return NumberOrName{true, value, {}}; }
    static NumberOrName Name(Text text) { return NumberOrName{false, 0, std::move(text)}; }
};
// The UTF-16 form the directory is searched with (names already upper-cased).
using ResourceKey = NumberOrName<std::u16string>;

// Converts an 8-bit text given to the resource lookup the way the ANSI
// lookup does: "#" followed by a decimal number is that identifier (nothing
// when it does not fit 16 bits); any other text is converted from
// Windows-1252 to UTF-16 and upper-cased.
std::optional<ResourceKey> ResourceKeyFromAnsi(const std::string& text);

// The language preferences of the lookup, as locale identifiers: the
// thread's, the user's and the system's. On POSIX all are English (United
// States), 0x409.
struct LanguageDefaults {
    std::uint16_t thread = 0x409;
    std::uint16_t user = 0x409;
    std::uint16_t system = 0x409;
};

// Where a resource's data lies in the file.
struct ResourceData {
    std::uint64_t fileOffset = 0;
    std::uint32_t size = 0;
    std::uint64_t entryOffset = 0;  // of its data entry
    std::uint16_t language = 0;
};

// The languages a lookup tries among a name's languages, in order, each by
// the binary search the platform's lookup uses; then, when thenFirst, the
// first entry that holds data.
struct LanguageChoice {
    std::vector<std::uint16_t> order;
    bool thenFirst = true;
};
// What the platform's lookup on a module mapped as a data file tries for the
// neutral language: the neutral language, then the thread's, the user's and
// the system's language and their neutral sublanguages, English (United
// States), then the first entry.
LanguageChoice NeutralLanguageChoice(const LanguageDefaults& languages = {});

// Every resource of the directory, for comparisons: the identifiers of its
// type, name and language, walked three levels deep, up to limit results.
// Directories may share subdirectories, so the walk also reads at most
// kListingEntryBudget directory entries in all: a damaged file whose
// directories point at each other ends promptly instead of walking the
// product of their sizes.
struct ResourceListing {
    ResourceKey type;
    ResourceKey name;
    std::uint16_t language = 0;
};
inline constexpr std::size_t kListingEntryBudget = std::size_t{1} << 20;

// One resource as the walk of the directory meets it. The keys are the
// walk's own, valid during the call only; for a named key, where its text
// lies (from the root of the directory; 0 for an identifier), so that a
// caller can tell a name it has already seen without comparing the texts.
struct ResourceVisit {
    const ResourceKey& type;
    const ResourceKey& name;
    std::uint16_t language = 0;
    std::uint32_t typeNameOffset = 0;
    std::uint32_t nameNameOffset = 0;
};

// The resource directory of an image, its headers and section table read
// once, for as many lookups as needed. It reads from the source it was
// opened on, which must outlive it.
class ResourceTree {
public:
    // Why not when the file is no image or has no resource directory.
    static Result<ResourceTree> Open(ByteSource& source);

    // Type, then name, then the language the choice picks; why not when
    // there is none, or when its data does not lie wholly inside the file.
    Result<ResourceData> Find(const ResourceKey& type, const ResourceKey& name, const LanguageChoice& languages);
    std::vector<ResourceListing> List(std::size_t limit = 100000);
    // The walk of List, handing each resource to visit instead of copying
    // it. A name is read again only where an entry's name lies elsewhere
    // than the one read before at its level: entries that share one name
    // cost one read of it, and the walk holds one name per level.
    void Visit(const std::function<void(const ResourceVisit&)>& visit, std::size_t limit = 100000);

private:
    ResourceTree(ByteSource& source, std::uint64_t root, const SectionTable& sections)
        : source_(&source), root_(root), sections_(sections) {}

    ByteSource* source_;
    std::uint64_t root_;  // file offset of the root directory
    SectionIndex sections_;  // every lookup maps its data's address through it
};

// The resource that the platform's lookup on a module mapped as a data file
// finds for the neutral language: ResourceTree::Find with
// NeutralLanguageChoice(languages).
Result<ResourceData> FindResourceData(ByteSource& source, const ResourceKey& type, const ResourceKey& name,
                                      const LanguageDefaults& languages = {});

// ResourceTree::List of the image's directory; empty when it has none.
std::vector<ResourceListing> ListResources(ByteSource& source, std::size_t limit = 100000);

}  // namespace ondrel::pe
