#pragma once
// What a file is, as far as the rules care: found, readable, a PE image, its
// sections and resources. The image is parsed once; what is asked for is all
// that is read.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/reader.h"

namespace ondrel::tool {

struct SectionFacts {
    std::string name;                  // up to the first zero byte
    std::uint32_t pointerToRawData = 0;
    std::uint32_t sizeOfRawData = 0;
    bool code = false;                 // IMAGE_SCN_CNT_CODE
    std::string whyNoRule;             // why no SSECMD5 entry names it; empty when one does
    bool laterSameName = false;        // a later section has its name (the rule takes the last)
    std::string digest;                // what SSECMD5 computes for it, when asked for and named
};

struct ResourceFacts {
    std::string typeText;              // as the resource rules take it ("RT_VERSION", "#300", "MYTYPE")
    std::string nameText;              // as the resource rules take it ("1", "MAINICON")
    std::uint16_t typeId = 0;          // 0 for a named type
    std::string whyNoRule;             // why the rules cannot name it; empty when they can
    std::vector<std::uint16_t> languages;
    std::uint32_t size = 0;            // of the data the lookup finds
    std::optional<std::uint16_t> language;  // of the data the lookup finds (its size and digest)
    std::optional<std::string> digest; // what RESMD5 computes, when asked for and named
};

// What to find out; each adds reads of the file.
enum Facts : unsigned {
    kPresence = 1u << 0,          // the directory search (no open)
    kOpen = 1u << 1,              // opened as a regular file: its full size (no read)
    kImage = 1u << 2,             // headers and section table
    kSectionDigests = 1u << 3,    // the raw bytes of each section named by a rule
    kResources = 1u << 4,         // the resource directory
    kResourceDigests = 1u << 5,   // the data of each resource named by a rule
    kEverything = (1u << 6) - 1,
};

struct FileFacts {
    bool found = false;                // the directory search finds the name
    bool directory = false;
    bool opened = false;               // opened for reading as a regular file
    std::string whyNotOpened;          // when it was not
    std::uint64_t size = 0;            // full size, when opened
    bool pe = false;                   // a PE image with a section table
    bool completeTable = false;        // the whole section table lies inside the file
    std::string whyNotPe;              // when the file was read but is no PE image
    std::vector<SectionFacts> sections;
    std::vector<ResourceFacts> resources;  // one per type and name, in directory order
    std::string digestsLeftOut;        // why some section digests were not computed
};

// The facts asked for (Facts bits); those that need an earlier one imply it.
// With kept, the file's bytes read before, they are read instead of the
// file (the presence facts still ask the system about the name).
FileFacts ProbeFile(const std::string& fileName, unsigned wanted = kEverything,
                    const platform::FileBytes* kept = nullptr);

// Whether the last part of a name holds "*" or "?", which the directory
// search (and so the size rules) reads as wildcards.
bool HasWildcard(const std::string& fileName);

}  // namespace ondrel::tool
