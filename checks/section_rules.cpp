// "SECSIZE", "SSECMD5" and "SECMD5": the section table of a PE image and
// the raw bytes it points to.
#include "checks/section_rules.h"

#include <array>
#include <optional>

#include "checks/caches.h"
#include "checks/rule_values.h"
#include "checks/rules.h"
#include "platform/image.h"

namespace ondrel {

namespace {

// The digest of the regions, in order, read through the image's reader; the
// empty text when the file could not be opened for reading.
template <typename Regions>
std::string Digest(platform::FileReader& reader, const Regions& regions) {
    if (!reader) return std::string();
    Md5Stream digest;
    for (const pe::SectionHeader& s : regions)
        ReadFileRegion(reader, digest, static_cast<std::int32_t>(s.pointerToRawData),
                       static_cast<std::int32_t>(s.sizeOfRawData));
    return digest.FinishText();
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

std::int32_t SectionRawSizeTotal(const std::string& fileName) {
    std::optional<pe::SectionTable> table = platform::LoadSectionHeaders(fileName);
    if (!table) return 0;
    std::uint32_t total = 0;
    for (const pe::SectionHeader& s : table->headers) total += s.sizeOfRawData;
    return static_cast<std::int32_t>(total);
}

std::string AllSectionsDigest(const std::string& fileName) {
    platform::SectionImage image = platform::OpenSectionImage(fileName);
    if (!image.table || !image.table->complete) return std::string();
    return Digest(image.reader, image.table->headers);
}

std::string NamedSectionDigest(const std::string& sectionName, const std::string& fileName) {
    platform::SectionImage image = platform::OpenSectionImage(fileName);
    if (!image.table || !image.table->complete) return std::string();
    std::optional<pe::SectionHeader> found;
    for (const pe::SectionHeader& s : image.table->headers)  // the last match wins
        if (SectionNameText(s.name) == sectionName) found = s;
    if (!found || found->sizeOfRawData == 0) return std::string();
    return Digest(image.reader, std::array<pe::SectionHeader, 1>{*found});
}

bool SectionSizeRule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    trace.Set(std::to_string(SectionRawSizeTotal(fileName)));
    return trace.text == value;
}

bool SectionDigestRule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    const DashParts parts = CutAtDash(value, "CODE");
    trace.Set(NamedSectionDigest(parts.name, fileName));
    return trace.text == parts.expected;
}

bool AllSectionsDigestRule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    trace.Set(CachedDigest(SectionDigestCache(), fileName, [&] { return AllSectionsDigest(fileName); }));
    return trace.text == value;
}

}  // namespace ondrel
