// vespane on Linux: the launcher over POSIX and Linux process services.
//
// What stands for what (see "Vespane" in the README):
//   normal-user level    the restrictions this kernel can apply (capability
//                        interface version 3, no_new_privs) and the
//                        administrative groups to leave behind
//   restricted token     our own groups without the administrative ones, and
//                        which of the drops our capabilities permit
//   process creation     fork; in the child setsid, setgroups, clearing the
//                        bounding and ambient sets, no_new_privs, capset to
//                        nothing, closing descriptors above 2, execve; an errno
//                        from the child comes back through a close-on-exec pipe
//   process, thread      the child's id; nothing to release (we never wait, and
//                        init adopts the child when we end)
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <new>
#include <optional>
#include <vector>

#include "launcher/launch.h"

extern char** environ;

namespace vespane {
namespace {

// Groups whose members administer the system: the child keeps none of them.
constexpr std::array kAdministrativeGroups = {"root", "sudo", "wheel", "adm"};

struct RestrictionLevel {
    std::vector<gid_t> administrative;
};

struct RestrictedToken {
    std::vector<gid_t> groups;     // our supplementary groups, administrative ones left out
    bool setGroups = false;        // we hold CAP_SETGID, so the child's groups can be set
    bool dropBounding = false;     // we hold CAP_SETPCAP, so the bounding set can be cleared
    long descriptorLimit = 0;      // for closing descriptors where close_range is missing
};

using CapabilityData = std::array<__user_cap_data_struct, 2>;

int ReadCapabilities(CapabilityData& data) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return static_cast<int>(syscall(SYS_capget, &header, data.data()));
}

bool HasEffective(const CapabilityData& data, unsigned capability) {
    return (data[capability / 32].effective >> (capability % 32) & 1U) != 0;
}

// Reports errno through the pipe and ends the child.
[[noreturn]] void ChildFailed(int errorFd) {
    const int code = errno;
    ssize_t written;
    do written = write(errorFd, &code, sizeof code);
    while (written < 0 && errno == EINTR);
    _exit(127);
}

// Runs in the forked child: async-signal-safe calls only.
[[noreturn]] void BecomeRestricted(const RestrictedToken& token, const char* path, int errorFd) {
    // A session of its own: its own process group, no controlling terminal.
    if (setsid() < 0) ChildFailed(errorFd);
    if (token.setGroups && setgroups(token.groups.size(), token.groups.data()) != 0) ChildFailed(errorFd);
    if (token.dropBounding) {
        for (unsigned long cap = 0;; ++cap) {
            const int held = prctl(PR_CAPBSET_READ, cap, 0, 0, 0);
            if (held < 0) break;  // past the last capability this kernel knows
            if (held == 1 && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) ChildFailed(errorFd);
        }
    }
    // Kernels without ambient capabilities answer EINVAL: there are none to clear.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) ChildFailed(errorFd);
    // No execve from here on can grant privileges (set-user-ID bits, file capabilities).
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) ChildFailed(errorFd);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    CapabilityData none{};
    if (syscall(SYS_capset, &header, none.data()) != 0) ChildFailed(errorFd);

    // Descriptors: standard input, output and error stay; the error pipe moves
    // to 3 (close-on-exec) and everything above it closes.
    if (errorFd != 3) {
        if (dup3(errorFd, 3, O_CLOEXEC) < 0) ChildFailed(errorFd);
        errorFd = 3;
    }
    if (close_range(4, ~0U, 0) != 0) {
        for (long fd = 4; fd < token.descriptorLimit; ++fd) close(static_cast<int>(fd));
    }

    // Exactly the path, no search along PATH; the path is the only argument.
    char* const arguments[] = {const_cast<char*>(path), nullptr};
    execve(path, arguments, environ);
    ChildFailed(errorFd);
}

class PosixLaunchPlatform final : public LaunchPlatform {
public:
    bool CreateNormalUserLevel(PlatformHandle& handle) override {
        // The capability interface this launcher speaks, and no_new_privs.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        if (syscall(SYS_capget, &header, nullptr) != 0) return Failed();
        if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) < 0) return Failed();
        try {
            RestrictionLevel level;
            level.administrative.push_back(0);
            for (const char* name : kAdministrativeGroups) {
                if (const group* entry = getgrnam(name)) level.administrative.push_back(entry->gr_gid);
            }
            level_ = std::move(level);
        } catch (const std::bad_alloc&) {
            return Failed(ENOMEM);
        }
        handle = 1;
        return true;
    }

    bool ComputeRestrictedToken(PlatformHandle, PlatformHandle& handle) override {
        CapabilityData ours{};
        if (ReadCapabilities(ours) != 0) return Failed();
        try {
            RestrictedToken token;
            const int count = getgroups(0, nullptr);
            if (count < 0) return Failed();
            std::vector<gid_t> groups(static_cast<std::size_t>(count));
            const int got = getgroups(count, groups.data());
            if (got < 0) return Failed();
            groups.resize(static_cast<std::size_t>(got));
            for (gid_t id : groups) {
                bool administrative = false;
                for (gid_t admin : level_->administrative) administrative = administrative || id == admin;
                if (!administrative) token.groups.push_back(id);
            }
            token.setGroups = HasEffective(ours, CAP_SETGID);
            token.dropBounding = HasEffective(ours, CAP_SETPCAP);
            token.descriptorLimit = sysconf(_SC_OPEN_MAX);
            token_ = std::move(token);
        } catch (const std::bad_alloc&) {
            return Failed(ENOMEM);
        }
        handle = 1;
        return true;
    }

    bool StartAsUser(PlatformHandle, const PathChar* path, StartedProcess& started) override {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) return Failed();
        const pid_t child = fork();
        if (child < 0) {
            const int code = errno;
            close(pipeFds[0]);
            close(pipeFds[1]);
            return Failed(code);
        }
        if (child == 0) BecomeRestricted(*token_, path, pipeFds[1]);

        close(pipeFds[1]);
        int code = 0;
        ssize_t got;
        do got = read(pipeFds[0], &code, sizeof code);
        while (got < 0 && errno == EINTR);
        const int readError = errno;
        close(pipeFds[0]);
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
    void CloseProcess(PlatformHandle) override {}
    void CloseThread(PlatformHandle) override {}
    void CloseToken(PlatformHandle) override { token_.reset(); }
    void CloseLevel(PlatformHandle) override { level_.reset(); }
    ExitCode LastErrorCode() override { return static_cast<ExitCode>(lastError_); }

    void WriteStandardError(std::string_view text) override {
        while (!text.empty()) {
            const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;
            text.remove_prefix(static_cast<std::size_t>(written));
        }
    }

private:
    bool Failed(int code = errno) {
        lastError_ = code;
        return false;
    }

    std::optional<RestrictionLevel> level_;
    std::optional<RestrictedToken> token_;
    int lastError_ = 0;
};

}  // namespace
}  // namespace vespane

int main(int argc, char** argv) {
    vespane::PosixLaunchPlatform platform;
    return static_cast<int>(vespane::LaunchRestricted(argc, argv, platform));
}
