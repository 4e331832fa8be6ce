#pragma once
// The launcher's logic: command-line checks, the two platform steps (prepare
// a restriction, start under it), the messages and the exit code. Written
// once; each platform supplies a LaunchPlatform (the safer level and the token
// computed from it on Windows, the child's identity and the rights it keeps
// on Linux).
#include <cstddef>
#include <cstdint>
#include <memory>
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

// The exit code for a bad command line (ERROR_INVALID_PARAMETER).
inline constexpr ExitCode kBadCommandLine = 87;
// A path must end within this many code units (so it has at most 259).
inline constexpr std::size_t kPathLimit = 260;

inline constexpr std::string_view kUsageText =
    "\n\nVespane v1.0.0 part of Marrowby\nUsage is:\n\n\tVespane {path} \n\nWhere: \n"
    "\tpath is the full path to an executable to run.\n";

// What a program is started under: made by LaunchPlatform::Prepare, it owns
// whatever the platform needed to make it and releases that when it goes.
class Restriction {
public:
    virtual ~Restriction() = default;

    // Starts the executable named by path, exactly as given, under this
    // restriction in a console (on Linux a session) of its own, inheriting no
    // handles, and releases what the start handed out. Nothing when the
    // program started; otherwise the platform's error code, taken at the step
    // that failed.
    virtual std::optional<ExitCode> Start(const PathChar* path) = 0;
};

// A restriction, or the platform's error code of the step that could not
// make it (any number, 0 included: the null restriction tells failure).
struct Prepared {
    std::unique_ptr<Restriction> restriction;
    ExitCode error = 0;
};

// The platform operations, in the order the launcher calls them.
class LaunchPlatform {
public:
    virtual ~LaunchPlatform() = default;

    // The normal-user restriction, derived from our own rights.
    virtual Prepared Prepare() = 0;
    // Writes 8-bit text to standard error (in text mode on Windows).
    virtual void WriteStandardError(std::string_view text) = 0;
};

// The number of code units before the terminating zero, looking at no more
// than limit units; nothing when the text is null or holds no zero within them.
std::optional<std::size_t> BoundedLength(const PathChar* text, std::size_t limit) noexcept;

// Writes the usage text to standard error.
void PrintUsage(LaunchPlatform& platform);

// The whole program: checks the command line (argument count 2 or 3, path
// shorter than kPathLimit), prepares the restriction, starts the path under
// it and answers the exit code: 0, kBadCommandLine or the platform's error
// code. A failed start writes its message before the restriction is released.
ExitCode LaunchRestricted(int argc, const PathChar* const* argv, LaunchPlatform& platform);

}  // namespace vespane
