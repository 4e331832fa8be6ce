#pragma once
// The launcher's Windows platform: the restriction is the normal-user safer
// level and the token computed from it, the start CreateProcessAsUserW. The
// services sit behind Win32System, so that tests can stand in for them.
#include <windows.h>
#include <winsafer.h>

#include "launcher/launch.h"

namespace vespane {

// The Windows services the launcher calls, each with the arguments of the
// function of the same name.
class Win32System {
public:
    virtual ~Win32System() = default;

    virtual BOOL SaferCreateLevel(DWORD scope, DWORD level, DWORD openFlags, SAFER_LEVEL_HANDLE* out,
                                  void* reserved) = 0;
    virtual BOOL SaferComputeTokenFromLevel(SAFER_LEVEL_HANDLE level, HANDLE inputToken, HANDLE* outToken,
                                            DWORD flags, void* reserved) = 0;
    virtual BOOL CreateProcessAsUserW(HANDLE token, const wchar_t* application, wchar_t* commandLine,
                                      SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                                      BOOL inheritHandles, DWORD creationFlags, void* environment,
                                      const wchar_t* directory, STARTUPINFOW* startup,
                                      PROCESS_INFORMATION* information) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    virtual BOOL SaferCloseLevel(SAFER_LEVEL_HANDLE level) = 0;
    virtual DWORD GetLastError() = 0;
};

// The services themselves.
class RealWin32System final : public Win32System {
public:
    BOOL SaferCreateLevel(DWORD scope, DWORD level, DWORD openFlags, SAFER_LEVEL_HANDLE* out,
                          void* reserved) override;
    BOOL SaferComputeTokenFromLevel(SAFER_LEVEL_HANDLE level, HANDLE inputToken, HANDLE* outToken, DWORD flags,
                                    void* reserved) override;
    BOOL CreateProcessAsUserW(HANDLE token, const wchar_t* application, wchar_t* commandLine,
                              SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                              BOOL inheritHandles, DWORD creationFlags, void* environment, const wchar_t* directory,
                              STARTUPINFOW* startup, PROCESS_INFORMATION* information) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL SaferCloseLevel(SAFER_LEVEL_HANDLE level) override;
    DWORD GetLastError() override;
};

// Prepares the level, then the token; a start closes the new process's
// handle, then its thread's; the restriction closes the token, then the level.
// Each error code is taken right after the call that failed, before anything
// is released.
class Win32LaunchPlatform : public LaunchPlatform {
public:
    explicit Win32LaunchPlatform(Win32System& system) : system_(system) {}

    Prepared Prepare() override;
    // stderr is in text mode: the runtime writes each line feed as CR LF.
    void WriteStandardError(std::string_view text) override;

private:
    Win32System& system_;
};

}  // namespace vespane
