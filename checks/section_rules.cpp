// "SECSIZE", "SSECMD5" and "SECMD5": the section table of a PE image and
// the raw bytes it points to.
#include "checks/section_rules.h"

#include <algorithm>
#include <optional>
#include <span>

#include "checks/rules.h"
#include "platform/image.h"

namespace ondrel {

namespace {

// The bytes a region adds: as far as the file goes; nothing for a start or
// length of 2^31 or more.
std::uint64_t RegionBytes(const pe::SectionHeader& s, std::uint64_t fileSize) {
    const auto start = static_cast<std::int32_t>(s.pointerToRawData);
    const auto length = static_cast<std::int32_t>(s.sizeOfRawData);
    if (start < 0 || length <= 0 || static_cast<std::uint64_t>(start) >= fileSize) return 0;
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(length), fileSize - static_cast<std::uint64_t>(start));
}

// The digest of the regions, in order, read through the image's reader; the
// empty text when the file could not be opened for reading or the regions
// add up to more than the bound. Every region read without a failure, from
// a file that did not change, brings the file's identity along.
ComputedDigest Digest(platform::FileReader& reader, std::span<const pe::SectionHeader> regions) {
    if (!reader) return {};
    std::uint64_t total = 0;
    for (const pe::SectionHeader& s : regions) total += RegionBytes(s, reader.Size());
    if (total > kSectionBytesPerFileByte * reader.Size()) return {};
    Md5Stream digest;
    bool whole = true;
    for (const pe::SectionHeader& s : regions)
        whole &= ReadFileRegion(reader, digest, static_cast<std::int32_t>(s.pointerToRawData),
                                static_cast<std::int32_t>(s.sizeOfRawData));
    ComputedDigest result{DigestText(digest.Finish()), std::nullopt};
    const platform::File& file = reader.file();
    if (whole && file.Identity() == file.IdentityAtOpen()) result.readFrom = file.IdentityAtOpen();
    return result;
}

}  // namespace

std::string SectionNameText(const std::array<char, 8>& name) {
    std::size_t n = 0;
    while (n < name.size() && name[n] != '\0') ++n;
    return std::string(name.data(), n);
}

bool ReadFileRegion(platform::FileReader& file, Md5Stream& digest, std::int32_t start, std::int32_t length) {
    // A start of 2^31 or more is refused by the positioning: the region adds
    // nothing rather than bytes from wherever the file happened to stand.
    if (start < 0 || length <= 0) return true;
    const platform::RangeEnd end =
        file.ReadRange(static_cast<std::uint64_t>(start), static_cast<std::uint64_t>(length),
                       [&](const unsigned char* data, std::size_t n) { digest.Update(data, n); });
    return end != platform::RangeEnd::Failed;
}

std::int32_t SectionRawSizeTotal(const std::string& fileName, const platform::FileBytes* kept) {
    std::optional<pe::SectionTable> table = platform::LoadSectionHeaders(fileName, kept);
    if (!table) return 0;
    std::uint32_t total = 0;
    for (const pe::SectionHeader& s : table->headers) total += s.sizeOfRawData;
    return static_cast<std::int32_t>(total);
}

ComputedDigest AllSectionsDigest(const std::string& fileName, const platform::FileBytes* kept) {
    platform::SectionImage image = platform::OpenSectionImage(fileName, kept);
    if (!image.table || !image.table->complete()) return {};
    return Digest(image.reader, image.table->headers);
}

std::string NamedSectionDigest(const std::string& sectionName, const std::string& fileName,
                               const platform::FileBytes* kept) {
    platform::SectionImage image = platform::OpenSectionImage(fileName, kept);
    if (!image.table || !image.table->complete()) return std::string();
    std::optional<pe::SectionHeader> found;
    for (const pe::SectionHeader& s : image.table->headers)  // the last match wins
        if (SectionNameText(s.name) == sectionName) found = s;
    if (!found || found->sizeOfRawData == 0) return std::string();
    return Digest(image.reader, std::span<const pe::SectionHeader>(&*found, 1)).text;
}

std::string SectionSizeText(const RuleContext& context, const RuleArguments&) {
    return std::to_string(SectionRawSizeTotal(context.fileName, context.Kept()));
}

std::string SectionDigestText(const RuleContext& context, const RuleArguments& arguments) {
    return NamedSectionDigest(arguments.at(0), context.fileName, context.Kept());
}

std::string AllSectionsDigestText(const RuleContext& context, const RuleArguments&) {
    if (const platform::FileBytes* kept = context.Kept()) return AllSectionsDigest(context.fileName, kept).text;
    DigestCache* cache = context.caches ? &context.caches->sections : nullptr;
    return CachedDigest(cache, context.fileName, [&] { return AllSectionsDigest(context.fileName); });
}

}  // namespace ondrel
