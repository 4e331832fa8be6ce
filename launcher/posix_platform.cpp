// vespane on Linux: the launcher over POSIX and Linux process services.
//
// What stands for what (see "Vespane" in the README):
//   normal-user level    the restrictions this kernel can apply (capability
//                        interface version 3, no_new_privs) and the
//                        administrative groups to leave behind
//   restricted token     who the child becomes: run by root, an ordinary user
//                        with that user's groups less the administrative ones;
//                        otherwise our own ids and our groups less those; and
//                        which drops our capabilities permit
//   process creation     fork; in the child setsid, closing descriptors above
//                        2, clearing the bounding set, setgroups, setgid,
//                        setuid, clearing the ambient set, no_new_privs, capset
//                        to nothing, execve; an errno from the child comes back
//                        through a close-on-exec pipe
//   process, thread      the child's id; nothing to release (we never wait, and
//                        init adopts the child when we end)
#include "launcher/posix_platform.h"
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

// Reports errno through the pipe and ends the child.
[[noreturn]] void ChildFailed(int errorFd) {
    const int code = errno;
    ssize_t written;
    do written = write(errorFd, &code, sizeof code);
    while (written < 0 && errno == EINTR);
    _exit(127);
}

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

}  // namespace

uid_t LinuxSystem::EffectiveUserId() { return geteuid(); }
uid_t LinuxSystem::RealUserId() { return getuid(); }
gid_t LinuxSystem::RealGroupId() { return getgid(); }

std::optional<std::string> LinuxSystem::Environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

namespace {

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

int LinuxSystem::FindUser(uid_t user, std::optional<UserEntry>& entry) {
    entry.reset();
    return LookUpEntry<passwd>(
        [user](passwd* record, char* buffer, std::size_t size, passwd** found) {
            return getpwuid_r(user, record, buffer, size, found);
        },
        [&entry](const passwd& record) { entry = UserEntry{record.pw_name, record.pw_gid}; });
}

int LinuxSystem::FindGroup(const char* name, std::optional<gid_t>& id) {
    id.reset();
    return LookUpEntry<group>(
        [name](group* record, char* buffer, std::size_t size, group** found) {
            return getgrnam_r(name, record, buffer, size, found);
        },
        [&id](const group& record) { id = record.gr_gid; });
}

int LinuxSystem::GroupsOfUser(const std::string& name, gid_t group, std::vector<gid_t>& groups) {
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

int LinuxSystem::SetGroups(std::size_t count, const gid_t* groups) { return setgroups(count, groups); }
int LinuxSystem::SetGroupId(gid_t group) { return setgid(group); }
int LinuxSystem::SetUserId(uid_t user) { return setuid(user); }
int LinuxSystem::CloseFrom(unsigned first) { return close_range(first, ~0U, 0); }

int AdministrativeGroupIds(PosixSystem& system, std::vector<gid_t>& ids) {
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
std::optional<uid_t> NamedUser(PosixSystem& system, const char* variable) {
    const auto user = ParseId(system.Environment(variable).value_or(""));
    if (user == uid_t{0}) return std::nullopt;
    return user;
}

}  // namespace

int ChooseIdentity(PosixSystem& system, const std::vector<gid_t>& administrative, std::optional<Identity>& chosen) {
    chosen.reset();
    if (system.EffectiveUserId() != 0) return 0;

    Identity identity;
    std::optional<gid_t> namedGroup;
    if (const uid_t real = system.RealUserId(); real != 0) {
        // A launcher installed set-user-ID root, started by an ordinary user.
        identity.user = real;
        namedGroup = system.RealGroupId();
    } else if (const auto sudoUser = NamedUser(system, "SUDO_UID")) {
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
    identity.group = namedGroup.value_or(entry ? entry->group : kNobodyGroup);
    if (IsAdministrative(identity.group, administrative) || identity.group == static_cast<gid_t>(-1)) {
        identity.group = kNobodyGroup;
    }

    std::vector<gid_t> groups{identity.group};
    if (entry) {
        if (const int code = system.GroupsOfUser(entry->name, identity.group, groups); code != 0) return code;
    }
    for (gid_t id : groups) {
        if (!IsAdministrative(id, administrative) && !IsAdministrative(id, identity.groups)) {
            identity.groups.push_back(id);
        }
    }
    chosen = std::move(identity);
    return 0;
}

int CloseListedDescriptors(int first, int keep) {
    const ondrel::platform::Descriptor listing(open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) return errno;
    const int directory = listing.Get();
    // Closing changes the listing while it is read, so the listing is read
    // again until a whole pass closes nothing. Every pass but the last closes
    // at least one of the finitely many descriptors, and none is opened here.
    alignas(DirectoryRecord) char buffer[4096];
    int result = 0;
    for (bool closedAny = true; closedAny && result == 0;) {
        closedAny = false;
        if (lseek(directory, 0, SEEK_SET) < 0) {
            result = errno;
            break;
        }
        for (;;) {
            const long got = syscall(SYS_getdents64, directory, buffer, sizeof buffer);
            if (got < 0) {
                result = errno;
                break;
            }
            if (got == 0) break;
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
    return result;
}

bool PosixLaunchPlatform::Failed(int code) {
    lastError_ = code;
    return false;
}

bool PosixLaunchPlatform::CreateNormalUserLevel(PlatformHandle& handle) {
    // The capability interface this launcher speaks, and no_new_privs.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    if (syscall(SYS_capget, &header, nullptr) != 0) return Failed(errno);
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) < 0) return Failed(errno);
    try {
        std::vector<gid_t> administrative;
        if (const int code = AdministrativeGroupIds(system_, administrative); code != 0) return Failed(code);
        administrative_ = std::move(administrative);
    } catch (const std::bad_alloc&) {
        return Failed(ENOMEM);
    }
    handle = 1;
    return true;
}

bool PosixLaunchPlatform::ComputeRestrictedToken(PlatformHandle, PlatformHandle& handle) {
    CapabilityData ours{};
    if (ReadCapabilities(ours) != 0) return Failed(errno);
    try {
        Token token;
        if (const int code = ChooseIdentity(system_, *administrative_, token.identity); code != 0) return Failed(code);
        if (!token.identity) {
            const int count = getgroups(0, nullptr);
            if (count < 0) return Failed(errno);
            std::vector<gid_t> groups(static_cast<std::size_t>(count));
            const int got = getgroups(count, groups.data());
            if (got < 0) return Failed(errno);
            groups.resize(static_cast<std::size_t>(got));
            for (gid_t id : groups) {
                if (!IsAdministrative(id, *administrative_)) token.ownGroups.push_back(id);
            }
            token.setOwnGroups = HasEffective(ours, CAP_SETGID);
        }
        token.dropBounding = HasEffective(ours, CAP_SETPCAP);
        token_ = std::move(token);
    } catch (const std::bad_alloc&) {
        return Failed(ENOMEM);
    }
    handle = 1;
    return true;
}

bool PosixLaunchPlatform::StartAsUser(PlatformHandle, const PathChar* path, StartedProcess& started) {
    const Token& token = *token_;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return Failed(errno);
    ondrel::platform::Descriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    const pid_t child = fork();
    if (child < 0) return Failed(errno);  // both ends close, errno kept
    if (child == 0) {
        // From here to execve: async-signal-safe calls only, nothing
        // allocated. The child never returns, so only what it resets closes.
        int errorFd = writeEnd.Get();
        readEnd.Reset();
        // A session of its own: its own process group, no controlling terminal.
        if (setsid() < 0) ChildFailed(errorFd);

        // Descriptors: standard input, output and error stay; the error pipe
        // moves to 3 (close-on-exec) and everything above it closes.
        if (errorFd != 3) {
            if (dup3(errorFd, 3, O_CLOEXEC) < 0) ChildFailed(errorFd);
            errorFd = 3;
        }
        if (system_.CloseFrom(4) != 0) {
            if (const int code = CloseListedDescriptors(4, errorFd); code != 0) {
                errno = code;
                ChildFailed(errorFd);
            }
        }

        // The bounding set first: clearing it needs CAP_SETPCAP, which a
        // change of user takes away.
        if (token.dropBounding) {
            for (unsigned long cap = 0;; ++cap) {
                const int held = prctl(PR_CAPBSET_READ, cap, 0, 0, 0);
                if (held < 0) break;  // past the last capability this kernel knows
                if (held == 1 && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) ChildFailed(errorFd);
            }
        }

        if (token.identity) {
            // Groups while we may still set them, then the group, then the user;
            // the user last, as it takes away the right to change the others.
            const Identity& identity = *token.identity;
            if (system_.SetGroups(identity.groups.size(), identity.groups.data()) != 0) ChildFailed(errorFd);
            if (system_.SetGroupId(identity.group) != 0) ChildFailed(errorFd);
            if (system_.SetUserId(identity.user) != 0) ChildFailed(errorFd);
            // All of real, effective and saved ids changed, or nothing starts.
            uid_t users[3];
            gid_t groups[3];
            if (getresuid(&users[0], &users[1], &users[2]) != 0) ChildFailed(errorFd);
            if (getresgid(&groups[0], &groups[1], &groups[2]) != 0) ChildFailed(errorFd);
            for (int i = 0; i < 3; ++i) {
                if (users[i] != identity.user || groups[i] != identity.group) {
                    errno = EPERM;
                    ChildFailed(errorFd);
                }
            }
        } else if (token.setOwnGroups) {
            if (system_.SetGroups(token.ownGroups.size(), token.ownGroups.data()) != 0) ChildFailed(errorFd);
        }

        // Kernels without ambient capabilities answer EINVAL: there are none to clear.
        if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) ChildFailed(errorFd);
        // No execve from here on can grant privileges (set-user-ID bits, file capabilities).
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) ChildFailed(errorFd);
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        CapabilityData none{};
        if (syscall(SYS_capset, &header, none.data()) != 0) ChildFailed(errorFd);

        // Exactly the path, no search along PATH; the path is the only argument.
        char* const arguments[] = {const_cast<char*>(path), nullptr};
        execve(path, arguments, environ);
        ChildFailed(errorFd);
    }

    writeEnd.Reset();
    int code = 0;
    ssize_t got;
    do got = read(readEnd.Get(), &code, sizeof code);
    while (got < 0 && errno == EINTR);
    const int readError = errno;
    readEnd.Reset();
    if (got == 0) {  // the pipe closed at a successful execve
        started.process = static_cast<PlatformHandle>(child);
        started.thread = static_cast<PlatformHandle>(child);
        return true;
    }
    // The child failed before its program ran, and has ended or is ending.
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (got < 0) return Failed(readError);
    return Failed(got == static_cast<ssize_t>(sizeof code) ? code : EIO);
}

// The child runs on and is never waited for: there is nothing to release.
void PosixLaunchPlatform::CloseProcess(PlatformHandle) {}
void PosixLaunchPlatform::CloseThread(PlatformHandle) {}
void PosixLaunchPlatform::CloseToken(PlatformHandle) { token_.reset(); }
void PosixLaunchPlatform::CloseLevel(PlatformHandle) { administrative_.reset(); }
ExitCode PosixLaunchPlatform::LastErrorCode() { return static_cast<ExitCode>(lastError_); }

void PosixLaunchPlatform::WriteStandardError(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace vespane
