// "ICONMD5", "BRMD5" and "RESMD5": the MD5 of one resource of a PE image.
#include "checks/resource_rules.h"

#include <string_view>

#include "checks/integer_text.h"
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

std::string IconDigestText(const RuleContext& context, const RuleArguments& arguments) {
    return ResourceDigest(context.fileName, arguments.at(0), ResourceArgument::Id(kResourceGroupIcon), context.Kept());
}

std::string BitmapDigestText(const RuleContext& context, const RuleArguments& arguments) {
    return ResourceDigest(context.fileName, arguments.at(0), ResourceArgument::Id(kResourceBitmap), context.Kept());
}

// type and name.
std::string ResourceDigestText(const RuleContext& context, const RuleArguments& arguments) {
    return ResourceDigest(context.fileName, arguments.at(1), ResourceTypeFromText(arguments.at(0)), context.Kept());
}

}  // namespace ondrel
