// vespane on Linux: the launcher over Linux process services (prctl,
// capabilities, close_range).
//
// What stands for what (see "Vespane" in the README):
//   restriction          prepared from the restrictions this kernel can apply
//                        (capability interface version 3, no_new_privs), the
//                        administrative groups to leave behind, and who the
//                        child becomes: run by root, an ordinary user (see
//                        ChooseIdentity); otherwise our own ids and our groups
//                        less the administrative ones; and which drops our
//                        capabilities permit
//   start                fork; in the child setsid, closing descriptors above
//                        2, clearing the bounding set, setgroups, setgid,
//                        setuid, clearing the ambient set, no_new_privs, capset
//                        to nothing, execve; an errno from the child comes back
//                        through a close-on-exec pipe. Nothing is handed out
//                        to release: we never wait, and init adopts the child
//                        when we end
#include "launcher/linux_platform.h"
#include "platform/posix/descriptor.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>

extern char** environ;

namespace vespane {
namespace {

using CapabilityData = std::array<__user_cap_data_struct, 2>;

int ReadCapabilities(CapabilityData& data) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return static_cast<int>(syscall(SYS_capget, &header, data.data()));
}

bool HasEffective(const CapabilityData& data, unsigned capability) {
    return (data[capability / 32].effective >> (capability % 32) & 1U) != 0;
}

// The answers of the reentrant database lookups that mean "no such entry".
bool MeansNotFound(int code) { return code == 0 || code == ENOENT || code == ESRCH || code == EBADF || code == EPERM; }

// A buffer for the reentrant lookups, grown while they answer ERANGE.
constexpr std::size_t kFirstLookupBuffer = 1024;
constexpr std::size_t kLastLookupBuffer = std::size_t{1} << 20;

bool IsAdministrative(gid_t id, const std::vector<gid_t>& administrative) {
    return std::find(administrative.begin(), administrative.end(), id) != administrative.end();
}

// The groups in their order, each once, without the administrative ones.
std::vector<gid_t> WithoutAdministrative(const std::vector<gid_t>& groups, const std::vector<gid_t>& administrative) {
    std::vector<gid_t> kept;
    for (gid_t id : groups) {
        if (!IsAdministrative(id, administrative) && !IsAdministrative(id, kept)) kept.push_back(id);
    }
    return kept;
}

// One entry of the user or group database through its reentrant lookup
// (getpwuid_r, getgrnam_r), with a buffer grown while the lookup answers
// ERANGE. keep(record) takes what it needs from the record found; an entry
// that is not there is no error.
template <typename Record, typename Lookup, typename Keep>
int LookUpEntry(Lookup lookup, Keep keep) {
    for (std::size_t size = kFirstLookupBuffer; size <= kLastLookupBuffer; size *= 2) {
        std::vector<char> buffer(size);
        Record record{};
        Record* found = nullptr;
        const int code = lookup(&record, buffer.data(), buffer.size(), &found);
        if (code == ERANGE) continue;
        if (found != nullptr) {
            keep(record);
            return 0;
        }
        return MeansNotFound(code) ? 0 : code;
    }
    return ERANGE;
}

}  // namespace

uid_t RealLinuxSystem::EffectiveUserId() { return geteuid(); }
uid_t RealLinuxSystem::RealUserId() { return getuid(); }
gid_t RealLinuxSystem::RealGroupId() { return getgid(); }

int RealLinuxSystem::OwnGroups(std::vector<gid_t>& groups) {
    // The count first; a list that grew in between answers EINVAL: ask again.
    for (;;) {
        const int count = getgroups(0, nullptr);
        if (count < 0) return errno;
        groups.assign(static_cast<std::size_t>(count), 0);
        const int got = getgroups(count, groups.data());
        if (got >= 0) {
            groups.resize(static_cast<std::size_t>(got));
            return 0;
        }
        if (errno != EINVAL) return errno;
    }
}

std::optional<std::string> RealLinuxSystem::Environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

int RealLinuxSystem::FindUser(uid_t user, std::optional<UserEntry>& entry) {
    entry.reset();
    return LookUpEntry<passwd>(
        [user](passwd* record, char* buffer, std::size_t size, passwd** found) {
            return getpwuid_r(user, record, buffer, size, found);
        },
        [&entry](const passwd& record) { entry = UserEntry{record.pw_name, record.pw_gid}; });
}

int RealLinuxSystem::FindGroup(const char* name, std::optional<gid_t>& id) {
    id.reset();
    return LookUpEntry<group>(
        [name](group* record, char* buffer, std::size_t size, group** found) {
            return getgrnam_r(name, record, buffer, size, found);
        },
        [&id](const group& record) { id = record.gr_gid; });
}

int RealLinuxSystem::GroupsOfUser(const std::string& name, gid_t group, std::vector<gid_t>& groups) {
    int count = 32;
    // getgrouplist answers -1 and the count it needs while the list is too short.
    for (int attempt = 0; attempt < 8; ++attempt) {
        groups.assign(static_cast<std::size_t>(count), 0);
        int got = count;
        if (getgrouplist(name.c_str(), group, groups.data(), &got) >= 0) {
            groups.resize(static_cast<std::size_t>(got));
            return 0;
        }
        if (got <= count) return ENOMEM;  // no count to grow to
        count = got;
    }
    return ENOMEM;
}

int RealLinuxSystem::SetGroups(std::size_t count, const gid_t* groups) { return setgroups(count, groups); }
int RealLinuxSystem::SetGroupId(gid_t group) { return setgid(group); }
int RealLinuxSystem::SetUserId(uid_t user) { return setuid(user); }
int RealLinuxSystem::CloseFrom(unsigned first) { return close_range(first, ~0U, 0); }

int AdministrativeGroupIds(LinuxSystem& system, std::vector<gid_t>& ids) {
    ids.assign(1, 0);
    for (std::string_view name : kAdministrativeGroupNames) {
        std::optional<gid_t> id;
        if (const int code = system.FindGroup(std::string(name).c_str(), id); code != 0) return code;
        if (id && !IsAdministrative(*id, ids)) ids.push_back(*id);
    }
    return 0;
}

std::optional<uid_t> ParseId(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    // (uid_t)-1 means "leave unchanged" to the id calls.
    if (value >= std::numeric_limits<uid_t>::max()) return std::nullopt;
    return static_cast<uid_t>(value);
}

namespace {

// The user a variable names, unless it names root (sudo run by root does).
std::optional<uid_t> NamedUser(LinuxSystem& system, const char* variable) {
    const auto user = ParseId(system.Environment(variable).value_or(""));
    if (user == uid_t{0}) return std::nullopt;
    return user;
}

// The group itself, or nogroup for an administrative group and for -1.
gid_t UsableGroup(gid_t group, const std::vector<gid_t>& administrative) {
    if (IsAdministrative(group, administrative) || group == static_cast<gid_t>(-1)) return kNobodyGroup;
    return group;
}

// A launcher installed set-user-ID root, started by an ordinary user: that
// user and group, with the groups the user started us with.
int CallerOfSetUserId(LinuxSystem& system, const std::vector<gid_t>& administrative, Identity& identity) {
    identity.user = system.RealUserId();
    identity.group = UsableGroup(system.RealGroupId(), administrative);
    std::vector<gid_t> own;
    if (const int code = system.OwnGroups(own); code != 0) return code;
    identity.groups = WithoutAdministrative(own, administrative);
    return 0;
}

// Run by root: the user sudo or pkexec names, else nobody, with the groups
// the database gives that user (ours are root's, never to be passed on).
int CallerNamedToRoot(LinuxSystem& system, const std::vector<gid_t>& administrative, Identity& identity) {
    std::optional<gid_t> namedGroup;
    if (const auto sudoUser = NamedUser(system, "SUDO_UID")) {
        identity.user = *sudoUser;
        namedGroup = ParseId(system.Environment("SUDO_GID").value_or(""));
    } else if (const auto pkexecUser = NamedUser(system, "PKEXEC_UID")) {
        identity.user = *pkexecUser;
    } else {
        identity.user = kNobodyUser;
        namedGroup = kNobodyGroup;
    }
    std::optional<UserEntry> entry;
    if (const int code = system.FindUser(identity.user, entry); code != 0) return code;
    identity.group = UsableGroup(namedGroup.value_or(entry ? entry->group : kNobodyGroup), administrative);

    std::vector<gid_t> groups{identity.group};
    if (entry) {
        if (const int code = system.GroupsOfUser(entry->name, identity.group, groups); code != 0) return code;
    }
    identity.groups = WithoutAdministrative(groups, administrative);
    return 0;
}

}  // namespace

int ChooseIdentity(LinuxSystem& system, const std::vector<gid_t>& administrative, std::optional<Identity>& chosen) {
    chosen.reset();
    if (system.EffectiveUserId() != 0) return 0;
    Identity identity;
    const int code = system.RealUserId() != 0 ? CallerOfSetUserId(system, administrative, identity)
                                              : CallerNamedToRoot(system, administrative, identity);
    if (code == 0) chosen = std::move(identity);
    return code;
}

namespace {

// One record of getdents64.
struct DirectoryRecord {
    std::uint64_t inode;
    std::int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// The descriptor number a /proc/self/fd entry names; -1 for "." and "..".
int DescriptorNumber(const char* name) {
    if (*name < '0' || *name > '9') return -1;
    int number = 0;
    for (; *name >= '0' && *name <= '9'; ++name) {
        if (number > (std::numeric_limits<int>::max() - 9) / 10) return -1;
        number = number * 10 + (*name - '0');
    }
    return *name == 0 ? number : -1;
}

// One pass over the listing from its start: closes each descriptor from first
// upwards but keep and the listing's own. Answers 0 or an errno value.
int CloseListedOnce(int directory, int first, int keep, bool& closedAny) {
    if (lseek(directory, 0, SEEK_SET) < 0) return errno;
    alignas(DirectoryRecord) char buffer[4096];
    for (;;) {
        const long got = syscall(SYS_getdents64, directory, buffer, sizeof buffer);
        if (got < 0) return errno;
        if (got == 0) return 0;
        for (long at = 0; at < got;) {
            const auto* record = reinterpret_cast<const DirectoryRecord*>(buffer + at);
            const int fd = DescriptorNumber(record->name);
            if (fd >= first && fd != keep && fd != directory) {
                ondrel::platform::DescriptorTraits::Release(fd);  // not ours to own: just closed
                closedAny = true;
            }
            at += record->length;
        }
    }
}

}  // namespace

int CloseListedDescriptors(int first, int keep) {
    const ondrel::platform::Descriptor listing(open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) return errno;
    // Closing changes the listing while it is read, so the listing is read
    // again until a whole pass closes nothing. Every pass but the last closes
    // at least one of the finitely many descriptors, and none is opened here.
    for (bool closedAny = true; closedAny;) {
        closedAny = false;
        if (const int code = CloseListedOnce(listing.Get(), first, keep, closedAny); code != 0) return code;
    }
    return 0;
}

namespace {

// What the child is to be: the Linux restriction.
struct ChildPlan {
    std::optional<Identity> identity;  // who it becomes; nothing: our ids stay
    std::vector<gid_t> ownGroups;      // when our ids stay: ours without the administrative ones
    bool setOwnGroups = false;         // we hold CAP_SETGID, so those can be set
    bool dropBounding = false;         // we hold CAP_SETPCAP, so the bounding set can be cleared
};

// The steps of the forked child before execve: async-signal-safe calls only,
// nothing allocated. Each answers false with errno set when it fails.

// A session of its own (its own process group, no controlling terminal);
// standard input, output and error stay, the error pipe moves to 3
// (close-on-exec) and everything above it closes.
bool DetachAndCloseDescriptors(LinuxSystem& system, int& errorFd) {
    if (setsid() < 0) return false;
    if (errorFd != 3) {
        if (dup3(errorFd, 3, O_CLOEXEC) < 0) return false;
        errorFd = 3;
    }
    if (system.CloseFrom(4) == 0) return true;
    if (const int code = CloseListedDescriptors(4, errorFd); code != 0) {
        errno = code;
        return false;
    }
    return true;
}

// Clearing the bounding set needs CAP_SETPCAP, which a change of user takes
// away: it comes first.
bool DropBoundingSet() {
    for (unsigned long cap = 0;; ++cap) {
        const int held = prctl(PR_CAPBSET_READ, cap, 0, 0, 0);
        if (held < 0) return true;  // past the last capability this kernel knows
        if (held == 1 && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return false;
    }
}

// Groups while we may still set them, then the group, then the user; the
// user last, as it takes away the right to change the others. Afterwards
// real, effective and saved ids must all be the chosen ones.
bool BecomeIdentity(LinuxSystem& system, const Identity& identity) {
    if (system.SetGroups(identity.groups.size(), identity.groups.data()) != 0) return false;
    if (system.SetGroupId(identity.group) != 0) return false;
    if (system.SetUserId(identity.user) != 0) return false;
    uid_t users[3];
    gid_t groups[3];
    if (getresuid(&users[0], &users[1], &users[2]) != 0) return false;
    if (getresgid(&groups[0], &groups[1], &groups[2]) != 0) return false;
    for (int i = 0; i < 3; ++i) {
        if (users[i] != identity.user || groups[i] != identity.group) {
            errno = EPERM;
            return false;
        }
    }
    return true;
}

// No capability left, and none that any execve could grant again (set-user-ID
// bits, file capabilities).
bool DropRemainingPrivileges() {
    // Kernels without ambient capabilities answer EINVAL: there are none to clear.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) return false;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    CapabilityData none{};
    return syscall(SYS_capset, &header, none.data()) == 0;
}

// Reports errno through the pipe and ends the child.
[[noreturn]] void ChildFailed(int errorFd) {
    const int code = errno;
    ssize_t written;
    do written = write(errorFd, &code, sizeof code);
    while (written < 0 && errno == EINTR);
    _exit(127);
}

// The forked child, from fork to execve. It never returns, so only what it
// resets closes.
[[noreturn]] void RunChild(LinuxSystem& system, const ChildPlan& plan, const char* path,
                           ondrel::platform::Descriptor& readEnd, int errorFd) {
    readEnd.Reset();
    if (!DetachAndCloseDescriptors(system, errorFd)) ChildFailed(errorFd);
    if (plan.dropBounding && !DropBoundingSet()) ChildFailed(errorFd);
    if (plan.identity) {
        if (!BecomeIdentity(system, *plan.identity)) ChildFailed(errorFd);
    } else if (plan.setOwnGroups) {
        if (system.SetGroups(plan.ownGroups.size(), plan.ownGroups.data()) != 0) ChildFailed(errorFd);
    }
    if (!DropRemainingPrivileges()) ChildFailed(errorFd);
    // Exactly the path, no search along PATH; the path is the only argument.
    char* const arguments[] = {const_cast<char*>(path), nullptr};
    execve(path, arguments, environ);
    ChildFailed(errorFd);
}

// What the child reported: nothing when the pipe closed at a successful
// execve, else its errno. A child that failed has ended or is ending, and is
// waited for.
std::optional<ExitCode> AwaitExec(ondrel::platform::Descriptor& readEnd, pid_t child) {
    int code = 0;
    ssize_t got;
    do got = read(readEnd.Get(), &code, sizeof code);
    while (got < 0 && errno == EINTR);
    const int readError = errno;
    readEnd.Reset();
    if (got == 0) return std::nullopt;
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (got < 0) return static_cast<ExitCode>(readError);
    return static_cast<ExitCode>(got == static_cast<ssize_t>(sizeof code) ? code : EIO);
}

class LinuxRestriction final : public Restriction {
public:
    LinuxRestriction(LinuxSystem& system, ChildPlan plan) : system_(system), plan_(std::move(plan)) {}

    std::optional<ExitCode> Start(const PathChar* path) override {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) return static_cast<ExitCode>(errno);
        ondrel::platform::Descriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
        const pid_t child = fork();
        if (child < 0) return static_cast<ExitCode>(errno);
        if (child == 0) RunChild(system_, plan_, path, readEnd, writeEnd.Get());
        writeEnd.Reset();
        return AwaitExec(readEnd, child);
    }

private:
    LinuxSystem& system_;
    ChildPlan plan_;
};

// The capability interface this launcher speaks, and no_new_privs.
int ProbeKernel() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    if (syscall(SYS_capget, &header, nullptr) != 0) return errno;
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) < 0) return errno;
    return 0;
}

// Who the child becomes and which of our rights can be taken from it.
int PlanChild(LinuxSystem& system, ChildPlan& plan) {
    std::vector<gid_t> administrative;
    if (const int code = AdministrativeGroupIds(system, administrative); code != 0) return code;
    CapabilityData ours{};
    if (ReadCapabilities(ours) != 0) return errno;
    if (const int code = ChooseIdentity(system, administrative, plan.identity); code != 0) return code;
    if (!plan.identity) {
        std::vector<gid_t> own;
        if (const int code = system.OwnGroups(own); code != 0) return code;
        plan.ownGroups = WithoutAdministrative(own, administrative);
        plan.setOwnGroups = HasEffective(ours, CAP_SETGID);
    }
    plan.dropBounding = HasEffective(ours, CAP_SETPCAP);
    return 0;
}

}  // namespace

Prepared LinuxLaunchPlatform::Prepare() {
    if (const int code = ProbeKernel(); code != 0) return Prepared{nullptr, static_cast<ExitCode>(code)};
    try {
        ChildPlan plan;
        if (const int code = PlanChild(system_, plan); code != 0) return Prepared{nullptr, static_cast<ExitCode>(code)};
        return Prepared{std::make_unique<LinuxRestriction>(system_, std::move(plan)), 0};
    } catch (const std::bad_alloc&) {
        return Prepared{nullptr, ENOMEM};
    }
}

void LinuxLaunchPlatform::WriteStandardError(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace vespane
