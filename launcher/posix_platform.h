#pragma once
// The launcher's Linux platform, and beneath it the system services that
// choose and change who the child runs as (and close its descriptors), behind
// PosixSystem so that tests can replace any of them.
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
class PosixSystem {
public:
    virtual ~PosixSystem() = default;

    // In the launcher, before the child exists.
    virtual uid_t EffectiveUserId() = 0;
    virtual uid_t RealUserId() = 0;
    virtual gid_t RealGroupId() = 0;
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
class LinuxSystem : public PosixSystem {
public:
    uid_t EffectiveUserId() override;
    uid_t RealUserId() override;
    gid_t RealGroupId() override;
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
int AdministrativeGroupIds(PosixSystem& system, std::vector<gid_t>& ids);

// A user or group id named by the environment: decimal digits only, below the
// value -1 stands for; nothing otherwise.
std::optional<uid_t> ParseId(std::string_view text);

// Who the child of a launcher with effective user id 0 becomes: the real user
// when it is not 0, else the user named by SUDO_UID (group SUDO_GID) or by
// PKEXEC_UID (a variable naming root names no one), else nobody. Where no
// group is named, the user's primary group (nogroup for an unknown user); an
// administrative group becomes nogroup. The
// supplementary groups are the user's groups without the administrative ones.
// Sets chosen to nothing when the effective user id is not 0: the child keeps
// ours. Answers 0 or the errno of a failed lookup.
int ChooseIdentity(PosixSystem& system, const std::vector<gid_t>& administrative, std::optional<Identity>& chosen);

// Closes every descriptor from first upwards, except keep, found by reading
// /proc/self/fd; for the child, where close_range fails. Async-signal-safe.
// Answers 0 or an errno value.
int CloseListedDescriptors(int first, int keep);

// The launcher's platform operations on Linux (see posix_platform.cpp).
class PosixLaunchPlatform : public LaunchPlatform {
public:
    explicit PosixLaunchPlatform(PosixSystem& system) : system_(system) {}

    bool CreateNormalUserLevel(PlatformHandle& level) override;
    bool ComputeRestrictedToken(PlatformHandle level, PlatformHandle& token) override;
    bool StartAsUser(PlatformHandle token, const PathChar* path, StartedProcess& started) override;
    void CloseProcess(PlatformHandle process) override;
    void CloseThread(PlatformHandle thread) override;
    void CloseToken(PlatformHandle token) override;
    void CloseLevel(PlatformHandle level) override;
    ExitCode LastErrorCode() override;
    void WriteStandardError(std::string_view text) override;

private:
    // What the child is to be, for as long as the token is open.
    struct Token {
        std::optional<Identity> identity;  // who it becomes; nothing: our ids stay
        std::vector<gid_t> ownGroups;      // when our ids stay: ours without the administrative ones
        bool setOwnGroups = false;         // we hold CAP_SETGID, so those can be set
        bool dropBounding = false;         // we hold CAP_SETPCAP, so the bounding set can be cleared
    };

    bool Failed(int code);

    PosixSystem& system_;
    std::optional<std::vector<gid_t>> administrative_;  // the restriction level
    std::optional<Token> token_;
    int lastError_ = 0;
};

}  // namespace vespane
