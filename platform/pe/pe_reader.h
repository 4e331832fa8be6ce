#pragma once
// Our own reader of PE/COFF images: the section table and the resource
// directory, read through positioned reads of only the bytes it needs.
//
// Every offset, count and size taken from the file passes one gate
// (ByteReader::Read) that checks it against the file's size in 64-bit
// arithmetic before a byte is read; nothing is allocated in proportion to a
// field of the file beyond what the file itself can hold, and every walk is
// bounded.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// A value, or why there is none. It converts to std::optional<T> (dropping
// the reason) for callers that need only the value.
template <typename T>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) noexcept : failure_(failure) {}

    explicit operator bool() const noexcept { return value_.has_value(); }
    bool has_value() const noexcept { return value_.has_value(); }
    T& operator*() noexcept { return *value_; }
    const T& operator*() const noexcept { return *value_; }
    T* operator->() noexcept { return &*value_; }
    const T* operator->() const noexcept { return &*value_; }
    // Failure::None when there is a value.
    Failure failure() const noexcept { return failure_; }

    operator std::optional<T>() const& { return value_; }
    operator std::optional<T>() && { return std::move(value_); }

private:
    std::optional<T> value_;
    Failure failure_ = Failure::None;
};

// Where the reader gets its bytes from: a file, or memory in tests and fuzzing.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const noexcept = 0;
    // Reads exactly count bytes at offset; false when that is not possible.
    virtual bool ReadAt(std::uint64_t offset, void* out, std::size_t count) noexcept = 0;
};

// Bytes held in memory.
class MemorySource final : public ByteSource {
public:
    MemorySource(const void* data, std::size_t size) noexcept
        : data_(static_cast<const unsigned char*>(data)), size_(size) {}
    std::uint64_t Size() const noexcept override { return size_; }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) noexcept override;

private:
    const unsigned char* data_;
    std::size_t size_;
};

// The fields of a section header that the rules and the resource lookup use.
struct SectionHeader {
    std::array<char, 8> name{};
    std::uint32_t virtualSize = 0;
    std::uint32_t virtualAddress = 0;
    std::uint32_t sizeOfRawData = 0;
    std::uint32_t pointerToRawData = 0;
};

// The section table as far as it lies inside the file. complete is false
// when the table runs past the end of the file: headers then holds the
// entries before the first one that does not lie wholly inside.
struct SectionTable {
    std::vector<SectionHeader> headers;
    std::uint16_t numberOfSections = 0;
    bool complete = true;
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
Result<ImageHeaders> ReadImageHeaders(ByteSource& source) noexcept;

// NumberOfSections and the section table after the optional header, PE32
// and PE32+ alike; why not when the file is no image.
Result<SectionTable> ReadSectionTable(ByteSource& source);

// The section table from bytes already in memory: numberOfSections headers
// from table, as many of them as lie wholly inside its first available bytes.
SectionTable DecodeSectionTable(std::uint16_t numberOfSections, const unsigned char* table,
                                std::uint64_t available);

// A resource type or name argument: an integer identifier or a name held as
// the UTF-16 text that the directory is searched with (already upper-cased).
struct ResourceKey {
    bool isId = true;
    std::uint16_t id = 0;
    std::u16string name;

    static ResourceKey Id(std::uint16_t value) { return ResourceKey{true, value, {}}; }
    static ResourceKey Name(std::u16string text) { return ResourceKey{false, 0, std::move(text)}; }
};

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

// Finds the resource that the platform's lookup on a module mapped as a
// data file finds for the neutral language: type, then name, then language
// (the requested neutral language, then the thread's, the user's and the
// system's language and their neutral sublanguages, English (United
// States), then the first entry). Why not when there is none, or when its
// data does not lie wholly inside the file.
Result<ResourceData> FindResourceData(ByteSource& source, const ResourceKey& type, const ResourceKey& name,
                                      const LanguageDefaults& languages = {});

// The resource of exactly that language, found by the same binary search of
// the name's languages that the platform's lookup by language
// (FindResourceExA) starts with; why not when it does not find it. The
// neutral language is not looked up this way: for it the platform's lookup
// is FindResourceData above.
Result<ResourceData> FindResourceDataInLanguage(ByteSource& source, const ResourceKey& type, const ResourceKey& name,
                                                std::uint16_t language);

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
std::vector<ResourceListing> ListResources(ByteSource& source, std::size_t limit = 100000);

}  // namespace ondrel::pe
