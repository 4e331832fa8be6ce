#pragma once
// The launcher's logic: command-line checks, the order of the platform steps,
// the messages and the exit code. Written once; each platform supplies the
// operations behind LaunchPlatform (Win32 safer level and CreateProcessAsUserW
// on Windows, capabilities, no_new_privs and setsid on Linux).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vespane {

// Command-line text: UTF-16 on Windows, bytes on Linux.
#ifdef _WIN32
using PathChar = wchar_t;
#else
using PathChar = char;
#endif

using ExitCode = std::uint32_t;
// An opaque value naming something a platform operation handed out.
using PlatformHandle = std::uintptr_t;

// The exit code for a bad command line (ERROR_INVALID_PARAMETER).
inline constexpr ExitCode kBadCommandLine = 87;
// A path must end within this many code units (so it has at most 259).
inline constexpr std::size_t kPathLimit = 260;

inline constexpr std::string_view kUsageText =
    "\n\nVespane v1.0.0 part of Marrowby\nUsage is:\n\n\tVespane {path} \n\nWhere: \n"
    "\tpath is the full path to an executable to run.\n";

struct StartedProcess {
    PlatformHandle process = 0;
    PlatformHandle thread = 0;
};

// The platform operations, in the order the launcher calls them. The "Create",
// "Compute" and "Start" steps answer true on success; after a false answer
// LastErrorCode gives the reason.
class LaunchPlatform {
public:
    virtual ~LaunchPlatform() = default;

    // The normal-user restriction level.
    virtual bool CreateNormalUserLevel(PlatformHandle& level) = 0;
    // A restricted primary token at that level, derived from our own.
    virtual bool ComputeRestrictedToken(PlatformHandle level, PlatformHandle& token) = 0;
    // Starts the executable named by path, exactly as given, under the token
    // in a new console, inheriting no handles.
    virtual bool StartAsUser(PlatformHandle token, const PathChar* path, StartedProcess& started) = 0;
    virtual void CloseProcess(PlatformHandle process) = 0;
    virtual void CloseThread(PlatformHandle thread) = 0;
    virtual void CloseToken(PlatformHandle token) = 0;
    virtual void CloseLevel(PlatformHandle level) = 0;
    // The error code of the step that failed last.
    virtual ExitCode LastErrorCode() = 0;
    // Writes 8-bit text to standard error (in text mode on Windows).
    virtual void WriteStandardError(std::string_view text) = 0;
};

// The number of code units before the terminating zero, looking at no more
// than limit units; nothing when the text is null or holds no zero within them.
std::optional<std::size_t> BoundedLength(const PathChar* text, std::size_t limit) noexcept;

// Writes the usage text to standard error.
void PrintUsage(LaunchPlatform& platform);

// The whole program: checks the command line (argument count 2 or 3, path
// shorter than kPathLimit), starts the path under a restricted token and
// answers the exit code: 0, kBadCommandLine or the platform's error code.
ExitCode LaunchRestricted(int argc, const PathChar* const* argv, LaunchPlatform& platform);

}  // namespace vespane
