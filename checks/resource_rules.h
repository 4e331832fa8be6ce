#pragma once
// The computations beneath the resource rules "ICONMD5", "BRMD5" and "RESMD5".
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/image.h"

namespace ondrel {

// The 19 type names the resource rules know ("RT_CURSOR" to "RT_ANIICON"),
// each with its identifier.
struct ResourceTypeName {
    std::string_view text;
    std::uint16_t id;
};
std::span<const ResourceTypeName> ResourceTypeNames() noexcept;

// The types the rules name themselves.
inline constexpr std::uint16_t kResourceBitmap = 2;      // "BRMD5"
inline constexpr std::uint16_t kResourceGroupIcon = 14;  // "ICONMD5"
inline constexpr std::uint16_t kResourceVersion = 16;

// The type argument of a type text: the identifier of its row in the table
// of the 19 type names ("RT_CURSOR" to "RT_ANIICON", compared exactly), else
// the text itself as a type name.
platform::ResourceArgument ResourceTypeFromText(const std::string& typeText);

// The name argument of a name text: a valid integer text from 0 to 65535 is
// that identifier; any other valid number finds nothing (no argument); a
// text that is no number is a name, unchanged.
std::optional<platform::ResourceArgument> ResourceNameFromText(const std::string& nameText);

// DigestText of the data of the resource of that name and type, or the
// empty text when there is none.
// With kept, the file's bytes read before, our reader takes them instead of
// the file (see platform/image.h).
std::string ResourceDigest(const std::string& fileName, const std::string& nameText,
                           const platform::ResourceArgument& type, const platform::FileBytes* kept = nullptr);

}  // namespace ondrel
