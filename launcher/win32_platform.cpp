#include "launcher/win32_platform.h"

#include <cstdio>
#include <new>
#include <utility>

namespace vespane {

static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68, "the 32-bit STARTUPINFOW holds 68 bytes");

BOOL RealWin32System::SaferCreateLevel(DWORD scope, DWORD level, DWORD openFlags, SAFER_LEVEL_HANDLE* out,
                                       void* reserved) {
    return ::SaferCreateLevel(scope, level, openFlags, out, reserved);
}

BOOL RealWin32System::SaferComputeTokenFromLevel(SAFER_LEVEL_HANDLE level, HANDLE inputToken, HANDLE* outToken,
                                                 DWORD flags, void* reserved) {
    return ::SaferComputeTokenFromLevel(level, inputToken, outToken, flags, reserved);
}

BOOL RealWin32System::CreateProcessAsUserW(HANDLE token, const wchar_t* application, wchar_t* commandLine,
                                           SECURITY_ATTRIBUTES* processAttributes,
                                           SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                                           DWORD creationFlags, void* environment, const wchar_t* directory,
                                           STARTUPINFOW* startup, PROCESS_INFORMATION* information) {
    return ::CreateProcessAsUserW(token, application, commandLine, processAttributes, threadAttributes,
                                  inheritHandles, creationFlags, environment, directory, startup, information);
}

BOOL RealWin32System::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
BOOL RealWin32System::SaferCloseLevel(SAFER_LEVEL_HANDLE level) { return ::SaferCloseLevel(level); }
DWORD RealWin32System::GetLastError() { return ::GetLastError(); }

namespace {

// A handle or level, released through the system when this goes.
template <typename Value, BOOL (Win32System::*Close)(Value)>
class Owned {
public:
    Owned(Win32System& system, Value value) noexcept : system_(&system), value_(value) {}
    Owned(Owned&& other) noexcept : system_(other.system_), value_(std::exchange(other.value_, nullptr)) {}
    Owned& operator=(Owned&&) = delete;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (value_ != nullptr) (system_->*Close)(value_);
    }

    Value Get() const noexcept { return value_; }

private:
    Win32System* system_;
    Value value_;
};

using OwnedLevel = Owned<SAFER_LEVEL_HANDLE, &Win32System::SaferCloseLevel>;
using OwnedHandle = Owned<HANDLE, &Win32System::CloseHandle>;

// The normal-user level and the token computed from it. Members go in the
// reverse order of their declaration: the token, then the level.
class SaferRestriction final : public Restriction {
public:
    SaferRestriction(Win32System& system, OwnedLevel level, OwnedHandle token)
        : system_(system), level_(std::move(level)), token_(std::move(token)) {}

    std::optional<ExitCode> Start(const PathChar* path) override {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started{};
        // No command line: the child sees the path as its whole command line.
        // Null environment and directory: ours are passed on.
        if (!system_.CreateProcessAsUserW(token_.Get(), path, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                                          nullptr, nullptr, &startup, &started)) {
            return system_.GetLastError();
        }
        // Declared thread first, so that the process's handle closes first.
        const OwnedHandle thread(system_, started.hThread);
        const OwnedHandle process(system_, started.hProcess);
        return std::nullopt;
    }

private:
    Win32System& system_;
    OwnedLevel level_;
    OwnedHandle token_;
};

}  // namespace

Prepared Win32LaunchPlatform::Prepare() {
    SAFER_LEVEL_HANDLE createdLevel = nullptr;
    if (!system_.SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER, 0, &createdLevel, nullptr)) {
        return Prepared{nullptr, system_.GetLastError()};
    }
    OwnedLevel level(system_, createdLevel);
    HANDLE computedToken = nullptr;
    // A null input token: our own process token is the base. On failure the
    // code is taken before the level is released.
    if (!system_.SaferComputeTokenFromLevel(level.Get(), nullptr, &computedToken, 0, nullptr)) {
        return Prepared{nullptr, system_.GetLastError()};
    }
    OwnedHandle token(system_, computedToken);
    try {
        return Prepared{std::make_unique<SaferRestriction>(system_, std::move(level), std::move(token)), 0};
    } catch (const std::bad_alloc&) {
        return Prepared{nullptr, ERROR_NOT_ENOUGH_MEMORY};  // the token, then the level, are released
    }
}

void Win32LaunchPlatform::WriteStandardError(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace vespane
