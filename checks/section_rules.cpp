// "SECSIZE", "SSECMD5" and "SECMD5": the section table of a PE image and
// the raw bytes it points to.
#include "checks/section_rules.h"

#include <optional>
#include <vector>

#include "checks/caches.h"
#include "checks/rule_values.h"
#include "checks/rules.h"
#include "platform/image.h"

namespace ondrel {

namespace {

// Section bytes stream through the digest in pieces of this size.
constexpr std::int32_t kRegionChunk = 256 * 1024;

struct Region {
    std::uint32_t start;
    std::uint32_t length;
};

std::string Digest(const std::string& fileName, const std::vector<Region>& regions) {
    platform::File file = platform::File::Open(fileName, platform::Share::ReadWrite);
    if (!file) return std::string();
    Md5Stream digest;
    for (const Region& r : regions)
        ReadFileRegion(file, digest, static_cast<std::int32_t>(r.start), static_cast<std::int32_t>(r.length));
    return digest.FinishText();
}

}  // namespace

std::string SectionNameText(const std::array<char, 8>& name) {
    std::size_t n = 0;
    while (n < name.size() && name[n] != '\0') ++n;
    return std::string(name.data(), n);
}

bool ReadFileRegion(platform::File& file, Md5Stream& digest, std::int32_t start, std::int32_t length) {
    // A start of 2^31 or more cannot be positioned to: the region adds
    // nothing rather than bytes from wherever the file happened to stand.
    if (start < 0 || length <= 0) return true;
    if (!file.Seek(start)) return true;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(length < kRegionChunk ? length : kRegionChunk));
    std::int32_t done = 0;
    while (done < length) {
        std::int32_t want = length - done < kRegionChunk ? length - done : kRegionChunk;
        std::int64_t got = file.Read(buffer.data(), static_cast<std::uint32_t>(want));
        if (got < 0) return false;
        if (got == 0) break;
        digest.Update(buffer.data(), static_cast<std::size_t>(got));
        done += static_cast<std::int32_t>(got);
    }
    return true;
}

std::int32_t SectionRawSizeTotal(const std::string& fileName) {
    std::optional<pe::SectionTable> table = platform::LoadSectionHeaders(fileName);
    if (!table) return 0;
    std::uint32_t total = 0;
    for (const pe::SectionHeader& s : table->headers) total += s.sizeOfRawData;
    return static_cast<std::int32_t>(total);
}

std::string AllSectionsDigest(const std::string& fileName) {
    std::vector<Region> regions;
    {
        std::optional<pe::SectionTable> table = platform::LoadSectionHeaders(fileName);
        if (!table || !table->complete) return std::string();
        regions.reserve(table->headers.size());
        for (const pe::SectionHeader& s : table->headers) regions.push_back({s.pointerToRawData, s.sizeOfRawData});
    }
    return Digest(fileName, regions);
}

std::string NamedSectionDigest(const std::string& sectionName, const std::string& fileName) {
    Region region{0, 0};
    {
        std::optional<pe::SectionTable> table = platform::LoadSectionHeaders(fileName);
        if (!table || !table->complete) return std::string();
        for (const pe::SectionHeader& s : table->headers)  // the last match wins
            if (SectionNameText(s.name) == sectionName) region = {s.pointerToRawData, s.sizeOfRawData};
    }
    if (region.length == 0) return std::string();
    return Digest(fileName, {region});
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
