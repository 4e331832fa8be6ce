#include "launcher/launch.h"

#include <charconv>

namespace vespane {
namespace {

void PrintStartFailure(LaunchPlatform& platform, ExitCode code) {
    constexpr std::string_view prefix = "CreateProcessAsUser failed (";
    char text[64];
    std::size_t used = prefix.copy(text, prefix.size());
    auto [end, ec] = std::to_chars(text + used, text + sizeof text - 2, code);
    static_cast<void>(ec);  // ten digits always fit
    used = static_cast<std::size_t>(end - text);
    text[used++] = ')';
    text[used++] = '\n';
    platform.WriteStandardError(std::string_view(text, used));
}

}  // namespace

std::optional<std::size_t> BoundedLength(const PathChar* text, std::size_t limit) noexcept {
    if (text == nullptr) return std::nullopt;
    for (std::size_t i = 0; i < limit; ++i) {
        if (text[i] == 0) return i;
    }
    return std::nullopt;
}

void PrintUsage(LaunchPlatform& platform) { platform.WriteStandardError(kUsageText); }

ExitCode LaunchRestricted(int argc, const PathChar* const* argv, LaunchPlatform& platform) {
    if (argc != 2 && argc != 3) {
        PrintUsage(platform);
        return kBadCommandLine;
    }
    const PathChar* path = argv[1];
    if (!BoundedLength(path, kPathLimit)) return kBadCommandLine;

    const Prepared prepared = platform.Prepare();
    if (!prepared.restriction) return prepared.error;
    // The restriction lives until the return: a failure's message comes first.
    if (const std::optional<ExitCode> failure = prepared.restriction->Start(path)) {
        PrintStartFailure(platform, *failure);
        return *failure;
    }
    return 0;
}

}  // namespace vespane
