// Vespane.exe: the launcher over the Win32 safer service and CreateProcessAsUserW.
#include <windows.h>
#include <winsafer.h>

#include <cstdio>

#include "launcher/launch.h"
#include "platform/win32/handles.h"

namespace vespane {
namespace {

static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68, "the 32-bit STARTUPINFOW holds 68 bytes");

HANDLE AsHandle(PlatformHandle value) { return reinterpret_cast<HANDLE>(value); }
PlatformHandle FromHandle(HANDLE handle) { return reinterpret_cast<PlatformHandle>(handle); }

class Win32LaunchPlatform final : public LaunchPlatform {
public:
    bool CreateNormalUserLevel(PlatformHandle& level) override {
        SAFER_LEVEL_HANDLE handle = nullptr;
        if (!SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER, 0, &handle, nullptr)) return false;
        level = reinterpret_cast<PlatformHandle>(handle);
        return true;
    }

    bool ComputeRestrictedToken(PlatformHandle level, PlatformHandle& token) override {
        HANDLE handle = nullptr;
        // A null input token: our own process token is the base.
        if (!SaferComputeTokenFromLevel(reinterpret_cast<SAFER_LEVEL_HANDLE>(level), nullptr, &handle, 0, nullptr)) {
            return false;
        }
        token = FromHandle(handle);
        return true;
    }

    bool StartAsUser(PlatformHandle token, const PathChar* path, StartedProcess& started) override {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        // No command line: the child sees the path as its whole command line.
        // Null environment and directory: ours are passed on.
        if (!CreateProcessAsUserW(AsHandle(token), path, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                                  nullptr, &startup, &info)) {
            return false;
        }
        started.process = FromHandle(info.hProcess);
        started.thread = FromHandle(info.hThread);
        return true;
    }

    // The logic decides when each is closed; the close itself keeps the last error.
    void CloseProcess(PlatformHandle process) override { Release(process); }
    void CloseThread(PlatformHandle thread) override { Release(thread); }
    void CloseToken(PlatformHandle token) override { Release(token); }
    void CloseLevel(PlatformHandle level) override { SaferCloseLevel(reinterpret_cast<SAFER_LEVEL_HANDLE>(level)); }
    ExitCode LastErrorCode() override { return GetLastError(); }

private:
    static void Release(PlatformHandle handle) { ondrel::platform::KernelHandleTraits::Release(AsHandle(handle)); }

public:

    // stderr is in text mode: the runtime writes each line feed as CR LF.
    void WriteStandardError(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
};

}  // namespace
}  // namespace vespane

// The runtime splits the wide command line into arguments (-municode).
extern "C" int wmain(int argc, wchar_t** argv) {
    vespane::Win32LaunchPlatform platform;
    return static_cast<int>(vespane::LaunchRestricted(argc, argv, platform));
}
