// "ICONMD5", "BRMD5" and "RESMD5": the MD5 of one resource of a PE image.
#include "checks/resource_rules.h"

#include <string_view>

#include "checks/integer_text.h"
#include "checks/rule_values.h"
#include "checks/rules.h"
#include "checksums/md5.h"

namespace ondrel {

namespace {

constexpr ResourceTypeName kResourceTypeNames[] = {
    {"RT_CURSOR", 1},        {"RT_BITMAP", 2},         {"RT_ICON", 3},           {"RT_MENU", 4},
    {"RT_DIALOG", 5},        {"RT_STRING", 6},         {"RT_FONTDIR", 7},        {"RT_FONT", 8},
    {"RT_ACCELERATOR", 9},   {"RT_RCDATA", 10},        {"RT_MESSAGETABLE", 11},  {"RT_GROUP_CURSOR", 12},
    {"RT_GROUP_ICON", 14},   {"RT_VERSION", 16},       {"RT_DLGINCLUDE", 17},    {"RT_PLUGPLAY", 19},
    {"RT_VXD", 20},          {"RT_ANICURSOR", 21},     {"RT_ANIICON", 22},
};
static_assert(std::size(kResourceTypeNames) == 19);

using platform::ResourceArgument;

// "ICONMD5" and "BRMD5": name, "-", digest, or the digest alone.
bool NamedResourceRule(const RuleContext& context, const std::string& value, RuleTrace& trace,
                       const char* defaultName, std::uint16_t type) {
    const DashParts parts = CutAtDash(value, defaultName);
    return trace.Set(ResourceDigest(context.fileName, parts.name, ResourceArgument::Id(type), context.Kept())) ==
           parts.expected;
}

}  // namespace

std::span<const ResourceTypeName> ResourceTypeNames() noexcept { return kResourceTypeNames; }

platform::ResourceArgument ResourceTypeFromText(const std::string& typeText) {
    for (const ResourceTypeName& row : kResourceTypeNames)
        if (row.text == typeText) return ResourceArgument::Id(row.id);
    return ResourceArgument::Name(typeText);
}

std::optional<platform::ResourceArgument> ResourceNameFromText(const std::string& nameText) {
    std::optional<std::int32_t> number = ParseIntegerText(nameText);
    if (!number) return ResourceArgument::Name(nameText);
    if (*number < 0 || *number > 0xFFFF) return std::nullopt;
    return ResourceArgument::Id(static_cast<std::uint16_t>(*number));
}

std::string ResourceDigest(const std::string& fileName, const std::string& nameText,
                           const platform::ResourceArgument& type, const platform::FileBytes* kept) {
    std::optional<platform::ResourceArgument> name = ResourceNameFromText(nameText);
    if (!name) return std::string();
    Md5Stream digest;
    const bool found = platform::VisitResourceData(
        fileName, *name, type, [&](const void* data, std::size_t count) { digest.Update(data, count); }, kept);
    return found ? DigestText(digest.Finish()) : std::string();
}

bool IconDigestRule(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    return NamedResourceRule(context, value, trace, "MAINICON", kResourceGroupIcon);
}

bool BitmapDigestRule(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    return NamedResourceRule(context, value, trace, "100", kResourceBitmap);
}

bool ResourceDigestRule(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    // type "|" name "|" digest, cut by lengths.
    const BarParts parts = CutAtBars(value);
    return trace.Set(ResourceDigest(context.fileName, parts.second, ResourceTypeFromText(parts.first),
                                    context.Kept())) == parts.rest;
}

}  // namespace ondrel
