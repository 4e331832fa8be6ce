#include "launcher/launch.h"

#include <charconv>

namespace vespane {
namespace {

// Something a platform operation handed out, released through the platform
// when this goes out of scope, unless released earlier.
class Obtained {
public:
    using Release = void (LaunchPlatform::*)(PlatformHandle);

    Obtained(LaunchPlatform& platform, Release release, PlatformHandle value) noexcept
        : platform_(platform), release_(release), value_(value) {}
    ~Obtained() { Reset(); }
    Obtained(const Obtained&) = delete;
    Obtained& operator=(const Obtained&) = delete;

    PlatformHandle Get() const noexcept { return value_; }
    void Reset() {
        if (held_) {
            held_ = false;
            (platform_.*release_)(value_);
        }
    }

private:
    LaunchPlatform& platform_;
    Release release_;
    PlatformHandle value_;
    bool held_ = true;
};

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

    PlatformHandle rawLevel = 0;
    if (!platform.CreateNormalUserLevel(rawLevel)) return platform.LastErrorCode();
    Obtained level(platform, &LaunchPlatform::CloseLevel, rawLevel);

    PlatformHandle rawToken = 0;
    if (!platform.ComputeRestrictedToken(level.Get(), rawToken)) return platform.LastErrorCode();
    Obtained token(platform, &LaunchPlatform::CloseToken, rawToken);

    StartedProcess started;
    if (!platform.StartAsUser(token.Get(), path, started)) {
        const ExitCode code = platform.LastErrorCode();
        PrintStartFailure(platform, code);
        return code;
    }
    Obtained process(platform, &LaunchPlatform::CloseProcess, started.process);
    Obtained thread(platform, &LaunchPlatform::CloseThread, started.thread);
    // The process's handle goes first, then its thread's.
    process.Reset();
    thread.Reset();
    return 0;
}

}  // namespace vespane
