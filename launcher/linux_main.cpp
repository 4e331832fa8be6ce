// vespane on Linux: the launcher's logic over the Linux platform.
#include "launcher/launch.h"
#include "launcher/linux_platform.h"

int main(int argc, char** argv) {
    vespane::RealLinuxSystem system;
    vespane::LinuxLaunchPlatform platform(system);
    return static_cast<int>(vespane::LaunchRestricted(argc, argv, platform));
}
