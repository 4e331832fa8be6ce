#pragma once
// The launcher's Linux platform, and beneath it the system services that
// choose and change who the child runs as (and close its descriptors), behind
// LinuxSystem so that tests can replace any of them.
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/launch.h"

namespace vespane {

// The unprivileged account (nobody) and its group (nogroup): the child of
// root runs as them when no ordinary user is named.
inline constexpr uid_t kNobodyUser = 65534;
inline constexpr gid_t kNobodyGroup = 65534;

// Groups whose members administer the system or can make themselves root; the
// child never keeps one of them (nor group 0, whatever its name).
//   root, wheel, sudo, admin   root's group and the sudo/su groups of the
//                              distributions
//   adm, systemd-journal       read every log of the system
//   staff                      writes /usr/local, which root's PATH searches
//   shadow                     reads the password hashes
//   disk, kmem, sys            raw disks, kernel memory, system administration
//   docker, lxd, libvirt       start containers or machines with root's files
inline constexpr std::array<std::string_view, 14> kAdministrativeGroupNames = {
    "root", "wheel", "sudo", "admin", "adm", "systemd-journal", "staff",
    "shadow", "disk", "kmem", "sys", "docker", "lxd", "libvirt"};

// Who the child becomes.
struct Identity {
    uid_t user = kNobodyUser;
    gid_t group = kNobodyGroup;
    std::vector<gid_t> groups;  // supplementary groups, none of them administrative
};

// An account of the user database.
struct UserEntry {
    std::string name;
    gid_t group = 0;  // its primary group
};

// The system services the Linux launcher uses to decide and to change the
// child's identity. The "Find" and "Groups" operations answer 0 or an errno
// value; the others behave as the system call of the same name.
class LinuxSystem {
public:
    virtual ~LinuxSystem() = default;

    // In the launcher, before the child exists.
    virtual uid_t EffectiveUserId() = 0;
    virtual uid_t RealUserId() = 0;
    virtual gid_t RealGroupId() = 0;
    // The supplementary groups this process runs with (getgroups).
    virtual int OwnGroups(std::vector<gid_t>& groups) = 0;
    // The variable's value; nothing when it is not set.
    virtual std::optional<std::string> Environment(const char* name) = 0;
    // Sets entry to the user's account, or to nothing when there is none.
    virtual int FindUser(uid_t user, std::optional<UserEntry>& entry) = 0;
    // Sets id to the named group's id, or to nothing when there is none.
    virtual int FindGroup(const char* name, std::optional<gid_t>& id) = 0;
    // The groups the group database gives the user, group among them (getgrouplist).
    virtual int GroupsOfUser(const std::string& name, gid_t group, std::vector<gid_t>& groups) = 0;

    // In the forked child before execve: async-signal-safe, 0 or -1 with errno.
    virtual int SetGroups(std::size_t count, const gid_t* groups) = 0;
    virtual int SetGroupId(gid_t group) = 0;
    virtual int SetUserId(uid_t user) = 0;
    // Closes every descriptor from first upwards (close_range).
    virtual int CloseFrom(unsigned first) = 0;
};

// The real services of Linux and the C library.
class RealLinuxSystem : public LinuxSystem {
public:
    uid_t EffectiveUserId() override;
    uid_t RealUserId() override;
    gid_t RealGroupId() override;
    int OwnGroups(std::vector<gid_t>& groups) override;
    std::optional<std::string> Environment(const char* name) override;
    int FindUser(uid_t user, std::optional<UserEntry>& entry) override;
    int FindGroup(const char* name, std::optional<gid_t>& id) override;
    int GroupsOfUser(const std::string& name, gid_t group, std::vector<gid_t>& groups) override;
    int SetGroups(std::size_t count, const gid_t* groups) override;
    int SetGroupId(gid_t group) override;
    int SetUserId(uid_t user) override;
    int CloseFrom(unsigned first) override;
};

// Group 0 and the ids of those kAdministrativeGroupNames the group database
// holds. Answers 0 or the errno of a failed lookup.
int AdministrativeGroupIds(LinuxSystem& system, std::vector<gid_t>& ids);

// A user or group id named by the environment: decimal digits only, below the
// value -1 stands for; nothing otherwise.
std::optional<uid_t> ParseId(std::string_view text);

// Who the child of a launcher with effective user id 0 becomes.
//   - Real user id not 0 (installed set-user-ID root): the real user and
//     group, and the supplementary groups we were started with (getgroups),
//     not those the group database gives the user: a caller running without
//     one of its groups does not get it back.
//   - Else the user named by SUDO_UID (group SUDO_GID) or by PKEXEC_UID (a
//     variable naming root names no one), else nobody, with the groups the
//     group database gives that user: ours are root's.
// Where no group is named, the user's primary group (nogroup for an unknown
// user); an administrative group becomes nogroup, and no administrative group
// stays among the supplementary ones. Sets chosen to nothing when the
// effective user id is not 0: the child keeps our ids. Answers 0 or the errno
// of a failed lookup.
int ChooseIdentity(LinuxSystem& system, const std::vector<gid_t>& administrative, std::optional<Identity>& chosen);

// Closes every descriptor from first upwards, except keep, found by reading
// /proc/self/fd; for the child, where close_range fails. Async-signal-safe.
// Answers 0 or an errno value.
int CloseListedDescriptors(int first, int keep);

// The launcher's platform operations on Linux (see linux_platform.cpp).
class LinuxLaunchPlatform : public LaunchPlatform {
public:
    explicit LinuxLaunchPlatform(LinuxSystem& system) : system_(system) {}

    Prepared Prepare() override;
    void WriteStandardError(std::string_view text) override;

private:
    LinuxSystem& system_;
};

}  // namespace vespane
