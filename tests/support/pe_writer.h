#pragma once
// A small writer of PE images for tests: sections with chosen names, sizes
// and pointers, and a resource directory with chosen types, names and
// languages. The result is plain bytes; tests may damage them afterwards
// through the offsets it reports.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/pe/pe_reader.h"

namespace ondrel::testing {

// A resource type or name in the directory: an identifier or a UTF-16 name.
struct PeKey {
    bool isId = true;
    std::uint16_t id = 0;
    std::u16string name;
    static PeKey Id(std::uint16_t value) { return {true, value, {}}; }
    static PeKey Name(std::u16string text) { return {false, 0, std::move(text)}; }
};

struct PeResource {
    PeKey type;
    PeKey name;
    std::uint16_t language = 0;
    std::string data;
};

struct PeSection {
    PeSection(std::string sectionName, std::string bytes, std::optional<std::uint32_t> rawSize = {},
              std::optional<std::uint32_t> rawPointer = {})
        : name(std::move(sectionName)), data(std::move(bytes)), sizeOfRawData(rawSize), pointerToRawData(rawPointer) {}
    std::string name;  // up to 8 bytes; shorter names are padded with zeros
    std::string data;  // written to the file at the section's place
    std::optional<std::uint32_t> sizeOfRawData;     // default: the size of data
    std::optional<std::uint32_t> pointerToRawData;  // default: where data is written
};

struct PeImage {
    bool pe32plus = false;
    std::optional<std::uint16_t> magic;  // default: 0x10B, or 0x20B for PE32+
    std::vector<PeSection> sections;
    // Placed in a section ".rsrc" after the others when there are any.
    std::vector<PeResource> resources;
    bool sortResources = true;  // as a resource compiler orders them

    struct Built {
        std::string bytes;
        std::size_t optionalHeader = 0;  // file offset of the optional header
        std::size_t sectionTable = 0;
        std::size_t resourceSection = 0;  // file offset of the resource section, if any
        std::uint32_t resourceAddress = 0;  // its relative virtual address
    };
    Built Build() const;
    std::string Bytes() const { return Build().bytes; }
};

// A hostile image of few bytes and many resources: its last section (of
// `sections`) holds a resource directory of `types` root entries that all
// lead to one directory of `names` entries, all leading to one language
// directory with one data entry ("DATA"). With a name, every entry at both
// levels is that one name; otherwise the entries are the numbers 1, 2, ...
// 316 types of 316 names make 99,856 resources in 5.5 KB.
std::string HostileImage(std::size_t types, std::size_t names, const std::u16string& name, std::size_t sections);

// The resource of exactly that language, found by the same binary search of
// the name's languages that the platform's lookup by language
// (FindResourceExA) starts with; why not when it does not find it.
inline pe::Result<pe::ResourceData> FindResourceDataInLanguage(pe::ByteSource& source, const pe::ResourceKey& type,
                                                              const pe::ResourceKey& name, std::uint16_t language) {
    pe::Result<pe::ResourceTree> tree = pe::ResourceTree::Open(source);
    if (!tree) return tree.failure();
    return tree->Find(type, name, pe::LanguageChoice{{language}, false});
}

}  // namespace ondrel::testing
