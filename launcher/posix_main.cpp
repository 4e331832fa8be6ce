// vespane on Linux: the launcher's logic over the Linux platform.
#include "launcher/launch.h"
#include "launcher/posix_platform.h"

int main(int argc, char** argv) {
    vespane::LinuxSystem system;
    vespane::PosixLaunchPlatform platform(system);
    return static_cast<int>(vespane::LaunchRestricted(argc, argv, platform));
}
