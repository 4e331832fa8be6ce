// Vespane.exe: the launcher over the Win32 safer service and CreateProcessAsUserW.
#include "launcher/launch.h"
#include "launcher/win32_platform.h"

// The runtime splits the wide command line into arguments (-municode).
extern "C" int wmain(int argc, wchar_t** argv) {
    vespane::RealWin32System system;
    vespane::Win32LaunchPlatform platform(system);
    return static_cast<int>(vespane::LaunchRestricted(argc, argv, platform));
}
