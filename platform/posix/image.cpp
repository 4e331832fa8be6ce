// Sections and resources through the PE/COFF reader.
#include "platform/image.h"
#include "platform/pe/pe_reader.h"
#include "platform/reader.h"

namespace ondrel::platform {

namespace {

// The file for the image services, or nothing when it cannot be opened;
// an exhausted process throws.
std::optional<FileReader> OpenImageFile(const std::string& fileName, Share share, const FileBytes* kept) {
    if (kept) return FileReader::Over(*kept);
    Result<FileReader, OpenFailure> file = FileReader::Open(fileName, share);
    if (!file) {
        ThrowIfExhausted(file.failure());
        return std::nullopt;
    }
    return std::move(*file);
}

std::optional<pe::ResourceKey> KeyOf(const ResourceArgument& argument) {
    if (argument.isId) return pe::ResourceKey::Id(argument.id);
    return pe::ResourceKeyFromAnsi(argument.name);
}

}  // namespace

// The resource directory of kept bytes, opened at the first lookup and
// kept for the next ones: an image of many resources costs one parse of its
// headers and section table for all of them.
struct KeptImage {
    explicit KeptImage(const FileBytes& kept) : reader(FileReader::Over(kept)) {}
    FileReader reader;
    std::optional<pe::Result<pe::ResourceTree>> resources;
};

namespace {

KeptImage& ImageOf(const FileBytes& kept) {
    if (!kept.image) kept.image = std::make_shared<KeptImage>(kept);
    return *kept.image;
}

// The data of one resource, handed to the sink; false when there is none.
bool SendResource(FileReader& file, const pe::Result<pe::ResourceData>& data, const ResourceSink& sink) {
    if (!data) return false;
    // The data lies inside the file (the reader checked); it is read in the
    // reader's bounded chunks, never all at once. A read that fails half-way
    // answers false, and the caller drops what the sink received.
    if (data->size == 0) {
        sink(nullptr, 0);
        return true;
    }
    return file.ReadRange(data->fileOffset, data->size, [&](const unsigned char* bytes, std::size_t n) {
        sink(bytes, n);
    }) == RangeEnd::Complete;
}

}  // namespace

std::optional<pe::SectionTable> LoadSectionHeaders(const std::string& fileName, const FileBytes* kept) {
    std::optional<FileReader> file = OpenImageFile(fileName, Share::Read, kept);
    if (!file) return std::nullopt;
    return pe::ReadSectionTable(*file);
}

SectionImage OpenSectionImage(const std::string& fileName, const FileBytes* kept) {
    SectionImage image;
    std::optional<FileReader> file = OpenImageFile(fileName, Share::ReadWrite, kept);
    if (!file) return image;
    image.table = pe::ReadSectionTable(*file);
    if (image.table && image.table->complete()) image.reader = std::move(*file);
    return image;
}

pe::LanguageDefaults ResourceLookupLanguages() { return {}; }

bool VisitResourceData(const std::string& fileName, const ResourceArgument& name, const ResourceArgument& type,
                       const ResourceSink& sink, const FileBytes* kept) {
    std::optional<pe::ResourceKey> nameKey = KeyOf(name);
    std::optional<pe::ResourceKey> typeKey = KeyOf(type);
    if (!nameKey || !typeKey) return false;
    if (kept) {
        KeptImage& image = ImageOf(*kept);
        if (!image.resources) image.resources.emplace(pe::ResourceTree::Open(image.reader));
        if (!*image.resources) return false;
        return SendResource(image.reader, (*image.resources)->Find(*typeKey, *nameKey, pe::NeutralLanguageChoice({})),
                            sink);
    }
    std::optional<FileReader> file = OpenImageFile(fileName, Share::Read, nullptr);
    if (!file) return false;
    return SendResource(*file, pe::FindResourceData(*file, *typeKey, *nameKey), sink);
}

}  // namespace ondrel::platform
