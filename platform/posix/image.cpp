// Sections and resources through our own PE reader.
#include <algorithm>
#include <vector>

#include "platform/reader.h"
#include "platform/image.h"
#include "platform/pe/file_source.h"

namespace ondrel::platform {

std::optional<pe::SectionTable> LoadSectionHeaders(const std::string& fileName) {
    FileReader file = FileReader::Open(fileName, Share::Read);
    if (!file) return std::nullopt;
    pe::FileSource source(file);
    return pe::ReadSectionTable(source);
}

SectionImage OpenSectionImage(const std::string& fileName) {
    SectionImage image;
    FileReader file = FileReader::Open(fileName, Share::ReadWrite);
    if (!file) return image;
    pe::FileSource source(file);
    image.table = pe::ReadSectionTable(source);
    if (image.table && image.table->complete) image.reader = std::move(file);
    return image;
}

namespace {

std::optional<pe::ResourceKey> KeyOf(const ResourceArgument& argument) {
    if (argument.isId) return pe::ResourceKey::Id(argument.id);
    return pe::ResourceKeyFromAnsi(argument.text);
}

}  // namespace

bool VisitResourceData(const std::string& fileName, const ResourceArgument& name, const ResourceArgument& type,
                       const ResourceSink& sink) {
    std::optional<pe::ResourceKey> nameKey = KeyOf(name);
    std::optional<pe::ResourceKey> typeKey = KeyOf(type);
    if (!nameKey || !typeKey) return false;
    FileReader file = FileReader::Open(fileName, Share::Read);
    if (!file) return false;
    pe::FileSource source(file);
    std::optional<pe::ResourceData> data = pe::FindResourceData(source, *typeKey, *nameKey);
    if (!data) return false;
    // The data lies inside the file (the reader checked); it is read in
    // bounded pieces, never all at once. A read that fails half-way answers
    // false, and the caller drops what the sink received.
    constexpr std::size_t kChunk = 64 * 1024;
    std::vector<unsigned char> buffer(std::min<std::size_t>(kChunk, data->size));
    std::uint64_t at = data->fileOffset;
    std::uint64_t left = data->size;
    if (left == 0) sink(nullptr, 0);
    while (left > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
        if (!source.ReadAt(at, buffer.data(), n)) return false;
        sink(buffer.data(), n);
        at += n;
        left -= n;
    }
    return true;
}

}  // namespace ondrel::platform
