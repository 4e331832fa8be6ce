// Our PE reader and the six PE rules on arbitrary file bytes: the reader
// through memory, the rules through a temporary file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "checks/resource_rules.h"
#include "checks/section_rules.h"
#include "fuzz/fuzz_support.h"
#include "platform/pe/pe_reader.h"
#include "platform/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ondrel;
    platform::FileReader source = platform::FileReader::Over(data, size);
    (void)pe::ReadSectionTable(source);
    std::vector<pe::ResourceListing> listing = pe::ListResources(source, 64);
    for (const pe::ResourceListing& item : listing) {
        std::optional<pe::ResourceData> found = pe::FindResourceData(source, item.type, item.name);
        if (found) ondrel::fuzz::Require(found->fileOffset <= size && found->size <= size - found->fileOffset);
    }
    (void)pe::FindResourceData(source, pe::ResourceKey::Id(14), pe::ResourceKey::Name(u"MAINICON"));

    static const ondrel::fuzz::ScratchDir scratch("ondrel-fuzz-pe");
    static const std::string file = scratch.File("input.bin");
    FILE* out = std::fopen(file.c_str(), "wb");
    if (!out) return 0;
    std::fwrite(data, 1, size, out);
    std::fclose(out);
    (void)SectionRawSizeTotal(file);
    (void)AllSectionsDigest(file);
    (void)NamedSectionDigest("CODE", file);
    (void)ResourceDigest(file, "MAINICON", ResourceTypeFromText("RT_GROUP_ICON"));
    (void)ResourceDigest(file, "100", ResourceTypeFromText("RT_BITMAP"));
    (void)ResourceDigest(file, "#1", ResourceTypeFromText("#10"));
    return 0;
}
