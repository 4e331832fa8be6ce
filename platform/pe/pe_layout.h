#pragma once
// The layout of a PE/COFF image as far as we read (or, in tests, write) it:
// the byte offset of each field inside its structure, each structure's size,
// and little-endian readers of a field from bytes already in memory. Every
// offset is from the start of its own structure; where a structure lies in
// the file is the reader's business.
#include <cstddef>
#include <cstdint>

namespace ondrel::pe {

// Little-endian fields; p points at the field's first byte.
constexpr std::uint16_t Le16(const unsigned char* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
constexpr std::uint32_t Le32(const unsigned char* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The DOS header at the start of the file.
namespace dos_header {
constexpr std::size_t kMagic = 0;         // e_magic: "MZ"
constexpr std::size_t kNewHeader = 0x3C;  // e_lfanew: file offset of the PE signature
constexpr std::size_t kSize = 64;
}  // namespace dos_header

// The PE signature ("PE\0\0") and the COFF file header after it, read as one.
namespace file_header {
constexpr std::size_t kSignature = 0;
constexpr std::size_t kSignatureSize = 4;
constexpr std::size_t kMachine = 4;
constexpr std::size_t kNumberOfSections = 6;
constexpr std::size_t kTimeDateStamp = 8;
constexpr std::size_t kSizeOfOptionalHeader = 20;
constexpr std::size_t kCharacteristics = 22;
constexpr std::size_t kSize = 24;  // signature and file header; the optional header follows
}  // namespace file_header

// The optional header: its magic tells PE32 from PE32+, which place the
// fields from ImageBase on (and so the data directories) differently.
namespace optional_header {
constexpr std::size_t kMagic = 0;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::size_t kSectionAlignment = 32;
constexpr std::size_t kFileAlignment = 36;
constexpr std::size_t kMajorOperatingSystemVersion = 40;
constexpr std::size_t kMajorSubsystemVersion = 48;
constexpr std::size_t kSizeOfImage = 56;
constexpr std::size_t kSizeOfHeaders = 60;
constexpr std::size_t kSubsystem = 68;

// What differs between the two kinds.
struct Kind {
    std::size_t imageBase;
    std::size_t numberOfRvaAndSizes;
    std::size_t dataDirectories;  // the first data directory
    std::size_t size;             // with all sixteen data directories
};
constexpr Kind kPe32{28, 92, 96, 224};
constexpr Kind kPe32Plus{24, 108, 112, 240};

// A data directory: where a table lies in the image, and its size.
constexpr std::size_t kDirectoryAddress = 0;
constexpr std::size_t kDirectorySize = 4;
constexpr std::size_t kDirectoryEntrySize = 8;
constexpr std::uint32_t kResourceDirectory = 2;  // index of the resource table's directory
}  // namespace optional_header

// One entry of the section table, which follows the optional header.
namespace section_header {
constexpr std::size_t kName = 0;
constexpr std::size_t kNameSize = 8;
constexpr std::size_t kVirtualSize = 8;
constexpr std::size_t kVirtualAddress = 12;
constexpr std::size_t kSizeOfRawData = 16;
constexpr std::size_t kPointerToRawData = 20;
constexpr std::size_t kCharacteristics = 36;
constexpr std::size_t kSize = 40;
}  // namespace section_header

// A directory of the resource tree; its entries follow it, the named ones first.
namespace resource_directory {
constexpr std::size_t kNumberOfNamedEntries = 12;
constexpr std::size_t kNumberOfIdEntries = 14;
constexpr std::size_t kSize = 16;
}  // namespace resource_directory

// An entry of a resource directory. Its name is an identifier in the low 16
// bits, or with the high bit set the offset of a counted UTF-16 name; its
// target is a data entry, or with the high bit set a subdirectory. Both
// offsets are from the start of the resource tree.
namespace resource_entry {
constexpr std::size_t kName = 0;
constexpr std::size_t kTarget = 4;
constexpr std::size_t kSize = 8;
constexpr std::uint32_t kNameIsString = 0x80000000u;
constexpr std::uint32_t kTargetIsDirectory = 0x80000000u;
constexpr std::uint32_t kOffsetMask = 0x7FFFFFFFu;
constexpr std::uint32_t kIdMask = 0xFFFFu;
}  // namespace resource_entry

// A leaf of the resource tree: where the data lies (as an address in the
// image) and its size.
namespace resource_data {
constexpr std::size_t kOffsetToData = 0;
constexpr std::size_t kDataSize = 4;  // the field Size
constexpr std::size_t kSize = 16;
}  // namespace resource_data

}  // namespace ondrel::pe
