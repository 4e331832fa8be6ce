// The launcher program itself: Vespane.exe under Wine, vespane on Linux.
// Each case starts the program with its standard output and error captured
// and looks at the exit code and the bytes written.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "launcher/launch.h"
#include "launcher/linux_platform.h"
#endif

#include "tests/support/test_files.h"

namespace fs = std::filesystem;
using PathText = fs::path::string_type;  // UTF-16 on Windows, bytes on Linux

namespace {

#ifdef _WIN32
const std::string kEol = "\r\n";  // standard error is in text mode
#else
const std::string kEol = "\n";
#endif

std::string Usage() {
    return kEol + kEol + "Vespane v1.0.0 part of Marrowby" + kEol + "Usage is:" + kEol + kEol + "\tVespane {path} " + kEol +
           kEol + "Where: " + kEol + "\tpath is the full path to an executable to run." + kEol;
}

std::string StartFailure(unsigned long code) {
    return "CreateProcessAsUser failed (" + std::to_string(code) + ")" + kEol;
}

struct RunResult {
    unsigned long exitCode = 0;
    std::string out;
    std::string err;
};

#ifdef _WIN32

fs::path LauncherPath() {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(std::wstring(self, length)).parent_path() / L"Vespane.exe";
}

std::string ReadAll(HANDLE pipe) {
    std::string text;
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
}

// Starts Vespane.exe with the arguments, each quoted, and waits for it.
RunResult RunLauncher(const std::vector<PathText>& arguments) {
    std::wstring commandLine = L"\"" + LauncherPath().native() + L"\"";
    for (const auto& argument : arguments) commandLine += L" \"" + argument + L"\"";

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    EXPECT_TRUE(CreatePipe(&outRead, &outWrite, &inherit, 0));
    EXPECT_TRUE(CreatePipe(&errRead, &errWrite, &inherit, 0));
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info{};
    RunResult result;
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &info);
    EXPECT_TRUE(started) << "cannot start Vespane.exe, error " << GetLastError();
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    CloseHandle(input);
    if (started) {
        result.out = ReadAll(outRead);
        result.err = ReadAll(errRead);
        EXPECT_EQ(WaitForSingleObject(info.hProcess, 30000), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        result.exitCode = code;
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return result;
}

#else

fs::path LauncherPath() { return fs::read_symlink("/proc/self/exe").parent_path() / "vespane"; }

// A user and group to run as, without any capability.
struct PlainUser {
    uid_t user;
    gid_t group;
};

struct RunOptions {
    fs::path launcher;                      // the program to run, if not the vespane built here
    fs::path directory;                     // the launcher's current directory, if set
    std::vector<gid_t> groups;              // the launcher's supplementary groups, if set
    bool leakDescriptor = false;            // the launcher inherits one descriptor beyond 0, 1, 2
    ino_t* outputInode = nullptr;           // receives the inode of the launcher's standard output
    std::optional<uid_t> user;              // the launcher runs as this user and group, with CAP_SETGID and CAP_SETPCAP
    std::optional<PlainUser> plainUser;     // or as this user and group, without capabilities (after groups)
    // Variables set (or, without a value, removed) in the launcher's environment.
    std::vector<std::pair<std::string, std::optional<std::string>>> environment;
};

// The variables that name the user who called the launcher, all removed.
const std::vector<std::pair<std::string, std::optional<std::string>>> kNoCaller = {
    {"SUDO_UID", std::nullopt}, {"SUDO_GID", std::nullopt}, {"PKEXEC_UID", std::nullopt}};

// Becomes an ordinary user that keeps CAP_SETGID and CAP_SETPCAP across
// execve (ambient capabilities): a launcher that is not root, yet may change
// its groups and bounding set. Needs root.
bool BecomeUserWithGroupRights(uid_t user) {
    if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return false;
    if (setresgid(user, user, user) != 0 || setresuid(user, user, user) != 0) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    const unsigned kept = 1U << CAP_SETGID | 1U << CAP_SETPCAP;
    data[0].effective = data[0].permitted = data[0].inheritable = kept;
    if (syscall(SYS_capset, &header, data) != 0) return false;
    return prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_SETGID, 0, 0) == 0 &&
           prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_SETPCAP, 0, 0) == 0;
}

std::string ReadAvailable(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string text;
    char buffer[512];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

// Starts vespane with the arguments and waits for it, but not for anything it
// started (which may hold the output pipes for a while).
RunResult RunLauncher(const std::vector<PathText>& arguments, const RunOptions& options = {}) {
    const std::string launcher = (options.launcher.empty() ? LauncherPath() : options.launcher).native();
    std::vector<char*> argv{const_cast<char*>(launcher.c_str())};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    if (options.outputInode) {
        struct stat info {};
        fstat(out[1], &info);
        *options.outputInode = info.st_ino;
    }
    const pid_t child = fork();
    if (child == 0) {
        const int input = open("/dev/null", O_RDONLY);
        if (input < 0 || dup2(input, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(120);
        if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(121);
        if (!options.groups.empty() && setgroups(options.groups.size(), options.groups.data()) != 0) _exit(122);
        if (options.leakDescriptor && open("/dev/null", O_RDONLY) < 0) _exit(123);  // no close-on-exec
        for (const auto& [name, value] : options.environment) {
            if (value ? setenv(name.c_str(), value->c_str(), 1) != 0 : unsetenv(name.c_str()) != 0) _exit(125);
        }
        if (options.user && !BecomeUserWithGroupRights(*options.user)) _exit(126);
        if (options.plainUser) {
            const PlainUser& plain = *options.plainUser;
            if (setresgid(plain.group, plain.group, plain.group) != 0 ||
                setresuid(plain.user, plain.user, plain.user) != 0) {
                _exit(127);
            }
        }
        execv(argv[0], argv.data());
        _exit(124);
    }
    close(out[1]);
    close(err[1]);
    RunResult result;
    EXPECT_GT(child, 0) << "fork failed";
    if (child < 0) {
        close(out[0]);
        close(err[0]);
        return result;
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    result.exitCode = static_cast<unsigned long>(WEXITSTATUS(status));
    result.out = ReadAvailable(out[0]);
    result.err = ReadAvailable(err[0]);
    close(out[0]);
    close(err[0]);
    return result;
}

#endif

// Command-line checks and start failures: the same on both systems, apart
// from the line ends and the platform's error codes.
struct RunCase {
    const char* name;
    std::vector<PathText> (*arguments)(const fs::path& folder);
    unsigned long exitCode;
    std::string (*message)(unsigned long exitCode);
};

std::string NoMessage(unsigned long) { return ""; }
std::string UsageMessage(unsigned long) { return Usage(); }

// A path of the given length naming nothing, inside an existing folder.
PathText MissingPathOfLength(const fs::path& folder, std::size_t length) {
    PathText path = (folder / "m").native();
    if (path.size() < length) path.append(length - path.size(), 'x');
    return path;
}

class VespaneRunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(VespaneRunTest, ExitCodeAndOutput) {
    ondrel::testing::TempDir folder;
    const RunCase& c = GetParam();
    const RunResult result = RunLauncher(c.arguments(folder.Path()));
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.err, c.message(result.exitCode));
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Vespane, VespaneRunTest,
    ::testing::Values(
        RunCase{"NoArgument", [](const fs::path&) { return std::vector<PathText>{}; }, 87, UsageMessage},
        RunCase{"ThreeArguments",
                [](const fs::path& d) {
                    return std::vector<PathText>{(d / "a").native(), (d / "b").native(), (d / "c").native()};
                },
                87, UsageMessage},
        RunCase{"Path260", [](const fs::path& d) { return std::vector<PathText>{MissingPathOfLength(d, 260)}; }, 87,
                NoMessage},
        RunCase{"Path260WithExtra",
                [](const fs::path& d) { return std::vector<PathText>{MissingPathOfLength(d, 260), PathText(1, 'x')}; },
                87, NoMessage},
        // 259 units reach the platform, which does not find the file.
        RunCase{"Path259", [](const fs::path& d) { return std::vector<PathText>{MissingPathOfLength(d, 259)}; }, 2,
                StartFailure},
        RunCase{"MissingFile", [](const fs::path& d) { return std::vector<PathText>{(d / "missing.exe").native()}; },
                2, StartFailure},
        RunCase{"MissingFileWithExtra",
                [](const fs::path& d) {
                    return std::vector<PathText>{(d / "missing.exe").native(), PathText(1, 'x')};
                },
                2, StartFailure}),
    ondrel::testing::CaseName());

// An empty path passes the checks; the platform refuses it, with its own code.
TEST(VespaneRun, EmptyPathReachesThePlatform) {
    const RunResult result = RunLauncher({PathText()});
    EXPECT_NE(result.exitCode, 0U);
    EXPECT_NE(result.exitCode, 87U);
    EXPECT_EQ(result.err, StartFailure(result.exitCode));
    EXPECT_EQ(result.out, "");
}

#ifdef _WIN32

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// An existing program (Vespane.exe itself, which in its new console prints its
// usage and ends). Windows starts it: nothing written, exit code 0. Wine's
// safer functions are stubs whose "token" is no handle at all, so its
// CreateProcessAsUserW ends with ERROR_INVALID_HANDLE.
TEST(VespaneWindows, ExistingProgram) {
    const RunResult result = RunLauncher({LauncherPath().native()});
    const unsigned long expected = UnderWine() ? ERROR_INVALID_HANDLE : 0;
    EXPECT_EQ(result.exitCode, expected);
    EXPECT_EQ(result.err, expected == 0 ? "" : StartFailure(expected));
    EXPECT_EQ(result.out, "");
}

#else

// The child's state, read from /proc while it runs.
struct ChildState {
    std::string status;
    std::vector<std::string> fields;  // of /proc/PID/stat, after the command name
    std::vector<int> descriptors;
    std::string environment;
    fs::path directory;
};

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string StatusLine(const std::string& status, const std::string& key) {
    std::istringstream lines(status);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            std::string value = line.substr(key.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
            return value;
        }
    }
    return "(no " + key + ")";
}

ChildState ReadChild(pid_t pid) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    ChildState state;
    state.status = ReadText(proc / "status");
    const std::string stat = ReadText(proc / "stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    for (std::string field; fields >> field;) state.fields.push_back(field);
    for (const auto& entry : fs::directory_iterator(proc / "fd")) {
        state.descriptors.push_back(std::stoi(entry.path().filename().string()));
    }
    std::sort(state.descriptors.begin(), state.descriptors.end());
    state.environment = ReadText(proc / "environ");
    state.directory = fs::read_symlink(proc / "cwd");
    return state;
}

bool HaveCapability(unsigned capability) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[capability / 32].effective >> (capability % 32) & 1U) != 0;
}

// A child that writes its process id and its arguments next to itself, then
// becomes a long sleep (so /proc shows what it inherited) until it is ended.
// Shell lines given as probes run first. The child may be another user (the
// child of root is), so the script is open to all and its folder writable by all.
class StartedChild {
public:
    explicit StartedChild(const fs::path& script, const std::string& probes = "") : script_(script) {
        std::ofstream(script) << "#!/bin/sh\n"
                              << probes
                              << "echo \"$# $0\" > \"$0.args\"\n"
                                 "echo $$ > \"$0.pid.new\" && mv \"$0.pid.new\" \"$0.pid\"\n"
                                 "exec sleep 60\n";
        fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
        fs::permissions(script.parent_path(), fs::perms::all);
    }
    ~StartedChild() {
        if (pid_ > 0) kill(pid_, SIGKILL);
    }
    StartedChild(const StartedChild&) = delete;
    StartedChild& operator=(const StartedChild&) = delete;

    // Waits until the child has become the sleep; answers its process id.
    pid_t Await() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string pid = ReadText(script_.native() + ".pid");
            if (!pid.empty() && pid.back() == '\n') {
                pid_ = std::stoi(pid);
                if (ReadText("/proc/" + std::to_string(pid_) + "/comm") == "sleep\n") return pid_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return 0;
    }
    std::string Arguments() const { return ReadText(script_.native() + ".args"); }

private:
    fs::path script_;
    pid_t pid_ = 0;
};

// What the child records when it got no argument beyond its own path.
std::string NoArgumentsRecord(const fs::path& script) {
    std::string record = "0 ";
    return record.append(script.string()).append("\n");
}

TEST(VespaneLinux, ChildRunsRestrictedInItsOwnSession) {
    ondrel::testing::TempDir folder;
    StartedChild child(folder.Path() / "child.sh");
    setenv("VESPANE_TEST_MARK", "passed-on", 1);
    ino_t outputInode = 0;
    RunOptions options;
    options.directory = folder.Path();
    options.leakDescriptor = true;
    options.outputInode = &outputInode;
    const RunResult result = RunLauncher({(folder.Path() / "child.sh").native()}, options);
    unsetenv("VESPANE_TEST_MARK");
    ASSERT_EQ(result.exitCode, 0U) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");

    const pid_t pid = child.Await();
    ASSERT_GT(pid, 0) << "the child did not come up";
    const ChildState state = ReadChild(pid);
    EXPECT_EQ(StatusLine(state.status, "NoNewPrivs"), "1");
    for (const char* set : {"CapEff", "CapPrm", "CapInh", "CapAmb"}) {
        EXPECT_EQ(StatusLine(state.status, set), "0000000000000000") << set;
    }
    if (HaveCapability(CAP_SETPCAP)) {
        EXPECT_EQ(StatusLine(state.status, "CapBnd"), "0000000000000000");
    }
    // A session of its own, led by the child, and so its own process group.
    ASSERT_GE(state.fields.size(), 4U);
    EXPECT_EQ(state.fields[3], std::to_string(pid)) << "session";
    EXPECT_EQ(state.fields[2], std::to_string(pid)) << "process group";
    EXPECT_NE(state.fields[3], std::to_string(getsid(0)));
    EXPECT_EQ(state.descriptors, (std::vector<int>{0, 1, 2}));
    struct stat output {};
    ASSERT_EQ(stat(("/proc/" + std::to_string(pid) + "/fd/1").c_str(), &output), 0);
    EXPECT_EQ(output.st_ino, outputInode) << "standard output is not the launcher's";
    EXPECT_NE(state.environment.find("VESPANE_TEST_MARK=passed-on"), std::string::npos);
    EXPECT_EQ(state.directory, fs::canonical(folder.Path()));
    EXPECT_EQ(child.Arguments(), NoArgumentsRecord(folder.Path() / "child.sh"));
}

// The launcher exits while its child still runs: it never waits.
TEST(VespaneLinux, ReturnsBeforeTheChildEnds) {
    ondrel::testing::TempDir folder;
    StartedChild child(folder.Path() / "child.sh");
    const RunResult result = RunLauncher({(folder.Path() / "child.sh").native(), "ignored"});
    ASSERT_EQ(result.exitCode, 0U) << result.err;
    const pid_t pid = child.Await();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), 0) << "the child is gone";
    EXPECT_EQ(child.Arguments(), NoArgumentsRecord(folder.Path() / "child.sh")) << "the extra argument arrived";
}

// A launcher that is not root keeps its ids for the child and only leaves
// its administrative groups behind. Run by root, the launcher is made an
// ordinary user that may still change its groups; otherwise it needs CAP_SETGID.
TEST(VespaneLinux, AdministrativeGroupsAreLeftBehind) {
    const bool root = geteuid() == 0;
    if (!root && !HaveCapability(CAP_SETGID)) GTEST_SKIP() << "cannot give the launcher groups to drop";
    std::vector<gid_t> administrative{0};
    for (const char* name : {"root", "sudo", "wheel", "adm"}) {
        if (const group* entry = getgrnam(name)) administrative.push_back(entry->gr_gid);
    }
    const std::vector<gid_t> ordinary{54321, 54322};
    std::vector<gid_t> groups = administrative;
    groups.insert(groups.end(), ordinary.begin(), ordinary.end());

    ondrel::testing::TempDir folder;
    StartedChild child(folder.Path() / "child.sh");
    RunOptions options;
    options.groups = groups;
    if (root) options.user = 54320;
    const RunResult result = RunLauncher({(folder.Path() / "child.sh").native()}, options);
    ASSERT_EQ(result.exitCode, 0U) << result.err;
    const pid_t pid = child.Await();
    ASSERT_GT(pid, 0);
    const std::string status = ReadChild(pid).status;
    EXPECT_EQ(StatusLine(status, "Groups"), "54321 54322");
    const std::string us = std::to_string(root ? 54320 : geteuid());
    EXPECT_EQ(StatusLine(status, "Uid"), us + "\t" + us + "\t" + us + "\t" + us);
    EXPECT_EQ(StatusLine(status, "CapEff"), "0000000000000000");
    EXPECT_EQ(StatusLine(status, "CapBnd"), "0000000000000000");
}

// The numbers of a /proc status line ("Uid", "Gid", "Groups").
std::vector<unsigned long> StatusNumbers(const std::string& status, const std::string& key) {
    std::istringstream fields(StatusLine(status, key));
    std::vector<unsigned long> numbers;
    for (unsigned long number; fields >> number;) numbers.push_back(number);
    return numbers;
}

std::vector<gid_t> AdministrativeGroupsHere() {
    vespane::RealLinuxSystem system;
    std::vector<gid_t> ids;
    EXPECT_EQ(vespane::AdministrativeGroupIds(system, ids), 0);
    return ids;
}

// What a child of root may not do any more: read a root-owned 0600 file,
// append to a root-owned 0644 file, signal a root process (this test).
std::string RootProbes(const std::string& secret, const std::string& log) {
    const std::string self = std::to_string(getpid());
    return "if cat '" + secret + "' >/dev/null 2>&1; then echo read; else echo no-read; fi > \"$0.probe\"\n"
           "if (echo x >> '" + log + "') 2>/dev/null; then echo append; else echo no-append; fi >> \"$0.probe\"\n"
           "if kill -0 " + self + " 2>/dev/null; then echo signal; else echo no-signal; fi >> \"$0.probe\"\n";
}

// Run by root with no caller named, the child is nobody: no id 0 anywhere,
// no administrative group, no capability, and none of root's rights.
TEST(VespaneLinux, ChildOfRootIsNobody) {
    if (geteuid() != 0 || getuid() != 0) GTEST_SKIP() << "needs root";
    ondrel::testing::TempDir folder;
    const std::string secret = folder.Write("secret", "root only\n");
    const std::string log = folder.Write("log", "");
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(log, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    StartedChild child(folder.Path() / "child.sh", RootProbes(secret, log));
    RunOptions options;
    options.environment = kNoCaller;
    const RunResult result = RunLauncher({(folder.Path() / "child.sh").native()}, options);
    ASSERT_EQ(result.exitCode, 0U) << result.err;
    EXPECT_EQ(result.err, "");
    const pid_t pid = child.Await();
    ASSERT_GT(pid, 0) << "the child did not come up";
    const std::string status = ReadChild(pid).status;

    EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, vespane::kNobodyUser));
    EXPECT_EQ(StatusNumbers(status, "Gid"), std::vector<unsigned long>(4, vespane::kNobodyGroup));
    const std::vector<unsigned long> groups = StatusNumbers(status, "Groups");
    EXPECT_FALSE(groups.empty());
    for (gid_t administrative : AdministrativeGroupsHere()) {
        EXPECT_EQ(std::count(groups.begin(), groups.end(), administrative), 0) << "group " << administrative;
    }
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
        EXPECT_EQ(StatusLine(status, set), "0000000000000000") << set;
    }
    EXPECT_EQ(StatusLine(status, "NoNewPrivs"), "1");
    EXPECT_EQ(ReadText(folder.Path() / "child.sh.probe"), "no-read\nno-append\nno-signal\n");
    EXPECT_EQ(ReadText(log), "");
    EXPECT_EQ(child.Arguments(), NoArgumentsRecord(folder.Path() / "child.sh"));
}

// Runs a shell command line, silently, and tries again for a while: another
// process may hold the lock of the user database.
bool RunCommand(const std::string& command, int attempts = 40) {
    const std::string line = "PATH=\"$PATH:/usr/sbin:/sbin\" " + command + " >/dev/null 2>&1";
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (std::system(line.c_str()) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
}

// An ordinary user made for the test, with a primary group and one more group
// of its own, and a member of every administrative group there is; removed
// with its groups when the object goes.
class CreatedUser {
public:
    CreatedUser() {
        const std::string stem = "vsp" + std::to_string(getpid()) + "t";
        name_ = stem + "u";
        primary_ = stem + "p";
        other_ = stem + "o";
        std::string memberOf = other_;
        for (std::string_view administrative : vespane::kAdministrativeGroupNames) {
            const std::string name(administrative);
            if (getgrnam(name.c_str()) != nullptr) memberOf += "," + name;
        }
        if (!RunCommand("groupadd " + primary_) || !RunCommand("groupadd " + other_) ||
            !RunCommand("useradd -M -N -s /usr/sbin/nologin -g " + primary_ + " -G " + memberOf + " " + name_)) {
            return;
        }
        // Each lookup answers the same static record: its id is taken at once.
        const passwd* user = getpwnam(name_.c_str());
        if (user == nullptr) return;
        user_ = user->pw_uid;
        const group* primary = getgrnam(primary_.c_str());
        if (primary == nullptr) return;
        group_ = primary->gr_gid;
        const group* other = getgrnam(other_.c_str());
        if (other == nullptr) return;
        otherGroup_ = other->gr_gid;
        made_ = true;
    }
    ~CreatedUser() {
        RunCommand("userdel " + name_, 10);
        RunCommand("groupdel " + other_, 10);
        RunCommand("groupdel " + primary_, 10);
    }
    CreatedUser(const CreatedUser&) = delete;
    CreatedUser& operator=(const CreatedUser&) = delete;

    bool Made() const { return made_; }
    uid_t User() const { return user_; }
    gid_t Group() const { return group_; }
    gid_t OtherGroup() const { return otherGroup_; }

private:
    std::string name_, primary_, other_;
    uid_t user_ = 0;
    gid_t group_ = 0, otherGroup_ = 0;
    bool made_ = false;
};

// A user and a group id no account and no group has.
uid_t FreeUserId() {
    uid_t id = 61000;
    while (getpwuid(id) != nullptr) ++id;
    return id;
}
gid_t FreeGroupId() {
    gid_t id = 61000;
    while (getgrgid(id) != nullptr) ++id;
    return id;
}

// Run through sudo, the child is the user who called it: exactly that user
// and group, that user's groups without the administrative ones.
TEST(VespaneLinux, ChildOfSudoIsTheCaller) {
    if (geteuid() != 0 || getuid() != 0) GTEST_SKIP() << "needs root";
    CreatedUser user;
    ASSERT_TRUE(user.Made()) << "cannot create a user (groupadd, useradd)";
    ondrel::testing::TempDir folder;
    const std::string secret = folder.Write("secret", "root only\n");
    const std::string log = folder.Write("log", "");
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    StartedChild child(folder.Path() / "child.sh", RootProbes(secret, log));
    RunOptions options;
    options.environment = {{"SUDO_UID", std::to_string(user.User())},
                           {"SUDO_GID", std::to_string(user.Group())},
                           {"PKEXEC_UID", std::nullopt}};
    const RunResult result = RunLauncher({(folder.Path() / "child.sh").native()}, options);
    ASSERT_EQ(result.exitCode, 0U) << result.err;
    const pid_t pid = child.Await();
    ASSERT_GT(pid, 0) << "the child did not come up";
    const std::string status = ReadChild(pid).status;
    EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, user.User()));
    EXPECT_EQ(StatusNumbers(status, "Gid"), std::vector<unsigned long>(4, user.Group()));
    std::vector<unsigned long> expected{user.Group(), user.OtherGroup()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(StatusNumbers(status, "Groups"), expected);
    EXPECT_EQ(StatusLine(status, "CapEff"), "0000000000000000");
    EXPECT_EQ(StatusLine(status, "NoNewPrivs"), "1");
    EXPECT_EQ(ReadText(folder.Path() / "child.sh.probe"), "no-read\nno-append\nno-signal\n");
}

// Why a set-user-ID root copy of the launcher cannot run here, or nothing.
std::optional<std::string> SetUserIdUnavailable(const fs::path& folder) {
    if (geteuid() != 0 || getuid() != 0) return "needs root";
    if (StatusLine(ReadText("/proc/self/status"), "NoNewPrivs") != "0") return "no_new_privs is set";
    struct statvfs mount {};
    if (statvfs(folder.c_str(), &mount) != 0) return "statvfs failed";
    if ((mount.f_flag & ST_NOSUID) != 0) return "the temporary folder is mounted nosuid";
    return std::nullopt;
}

// Installed set-user-ID root and started by an ordinary user, the launcher's
// child is that user, with the groups the user started it with less the
// administrative ones: a group of the user's database entry that the caller
// does not run with is not given back, and one the caller runs with that the
// database does not list is kept.
TEST(VespaneLinux, ChildOfSetUserIdRootKeepsTheCallersGroups) {
    ondrel::testing::TempDir folder;
    fs::permissions(folder.Path(), fs::perms::all);
    if (const auto why = SetUserIdUnavailable(folder.Path())) GTEST_SKIP() << *why;
    CreatedUser user;
    ASSERT_TRUE(user.Made()) << "cannot create a user (groupadd, useradd)";
    const fs::path launcher = folder.Path() / "vespane-setuid";
    fs::copy_file(LauncherPath(), launcher);
    ASSERT_EQ(chown(launcher.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(launcher.c_str(), 04755), 0);
    const std::string secret = folder.Write("secret", "root only\n");
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    const std::string log = folder.Write("log", "");
    fs::permissions(log, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    StartedChild child(folder.Path() / "child.sh", RootProbes(secret, log));

    // Running with its primary group, a group no database entry gives it and
    // the administrative ones; without its other group.
    const gid_t unlisted = FreeGroupId();
    RunOptions options;
    options.launcher = launcher;
    options.groups = {user.Group(), unlisted};
    for (gid_t administrative : AdministrativeGroupsHere()) options.groups.push_back(administrative);
    options.plainUser = PlainUser{user.User(), user.Group()};
    options.environment = {{"SUDO_UID", "0"}, {"SUDO_GID", "0"}, {"PKEXEC_UID", std::to_string(vespane::kNobodyUser)}};
    const RunResult result = RunLauncher({(folder.Path() / "child.sh").native()}, options);
    ASSERT_EQ(result.exitCode, 0U) << result.err;
    const pid_t pid = child.Await();
    ASSERT_GT(pid, 0) << "the child did not come up";
    const std::string status = ReadChild(pid).status;

    EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, user.User()));
    EXPECT_EQ(StatusNumbers(status, "Gid"), std::vector<unsigned long>(4, user.Group()));
    std::vector<unsigned long> expected{user.Group(), unlisted};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(StatusNumbers(status, "Groups"), expected) << "its database groups: " << user.OtherGroup();
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
        EXPECT_EQ(StatusLine(status, set), "0000000000000000") << set;
    }
    EXPECT_EQ(StatusLine(status, "NoNewPrivs"), "1");
    EXPECT_EQ(ReadText(folder.Path() / "child.sh.probe"), "no-read\nno-append\nno-signal\n");
}

// Callers named by ids alone, without an account: the ids as named.
struct CallerCase {
    const char* name;
    std::vector<std::pair<std::string, std::optional<std::string>>> (*environment)(uid_t user, gid_t group);
    bool namedUser;   // the child is the free user id, else nobody
    bool namedGroup;  // the child's group is the free group id, else nogroup
};

class VespaneCallerTest : public ::testing::TestWithParam<CallerCase> {};

TEST_P(VespaneCallerTest, ChildIds) {
    if (geteuid() != 0 || getuid() != 0) GTEST_SKIP() << "needs root";
    const CallerCase& c = GetParam();
    const uid_t user = FreeUserId();
    const gid_t group = FreeGroupId();
    ondrel::testing::TempDir folder;
    StartedChild child(folder.Path() / "child.sh");
    RunOptions options;
    options.environment = c.environment(user, group);
    const RunResult result = RunLauncher({(folder.Path() / "child.sh").native()}, options);
    ASSERT_EQ(result.exitCode, 0U) << result.err;
    const pid_t pid = child.Await();
    ASSERT_GT(pid, 0) << "the child did not come up";
    const std::string status = ReadChild(pid).status;
    const unsigned long expectedUser = c.namedUser ? user : vespane::kNobodyUser;
    const unsigned long expectedGroup = c.namedGroup ? group : vespane::kNobodyGroup;
    EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, expectedUser));
    EXPECT_EQ(StatusNumbers(status, "Gid"), std::vector<unsigned long>(4, expectedGroup));
    if (c.namedUser) {
        EXPECT_EQ(StatusNumbers(status, "Groups"), std::vector<unsigned long>{expectedGroup});
    }
}

using Variables = std::vector<std::pair<std::string, std::optional<std::string>>>;

INSTANTIATE_TEST_SUITE_P(
    VespaneLinux, VespaneCallerTest,
    ::testing::Values(
        CallerCase{"Sudo",
                   [](uid_t u, gid_t g) {
                       return Variables{{"SUDO_UID", std::to_string(u)}, {"SUDO_GID", std::to_string(g)}, {"PKEXEC_UID", std::nullopt}};
                   },
                   true, true},
        CallerCase{"SudoWithRootGroup",
                   [](uid_t u, gid_t) {
                       return Variables{{"SUDO_UID", std::to_string(u)}, {"SUDO_GID", "0"}, {"PKEXEC_UID", std::nullopt}};
                   },
                   true, false},
        CallerCase{"Pkexec",
                   [](uid_t u, gid_t) {
                       return Variables{{"SUDO_UID", std::nullopt}, {"SUDO_GID", std::nullopt}, {"PKEXEC_UID", std::to_string(u)}};
                   },
                   true, false},
        CallerCase{"SudoFromRoot",
                   [](uid_t, gid_t) {
                       return Variables{{"SUDO_UID", "0"}, {"SUDO_GID", "0"}, {"PKEXEC_UID", std::nullopt}};
                   },
                   false, false}),
    ondrel::testing::CaseName());

// The Linux platform run in this process over system services that fail on
// demand. The launcher believes it is root, called through sudo by a user
// who is not the one running the test (so the ids must change), whoever runs
// the test; or, with setUserId, root by its set-user-ID bit, started by that
// user.
class SeamSystem final : public vespane::RealLinuxSystem {
public:
    enum class Step { None, Groups, Group, User, UserWithoutChange };
    enum class Lookup { None, GroupDatabase, UserDatabase, GroupList, OwnGroups };
    Step failing = Step::None;
    Lookup lookupFailing = Lookup::None;
    int code = 0;
    bool closeRangeMissing = false;
    bool root = true;
    bool setUserId = false;

    uid_t EffectiveUserId() override { return root ? 0 : 1; }
    uid_t RealUserId() override { return root && !setUserId ? 0 : OtherUser(); }
    int OwnGroups(std::vector<gid_t>& groups) override {
        return lookupFailing == Lookup::OwnGroups ? code : RealLinuxSystem::OwnGroups(groups);
    }
    int FindGroup(const char* name, std::optional<gid_t>& id) override {
        return lookupFailing == Lookup::GroupDatabase ? code : RealLinuxSystem::FindGroup(name, id);
    }
    // The caller has an account (no group database lists it), so that its
    // group list is looked up too.
    int FindUser(uid_t, std::optional<vespane::UserEntry>& entry) override {
        entry.reset();
        if (lookupFailing == Lookup::UserDatabase) return code;
        entry = vespane::UserEntry{"vespane-test-caller", static_cast<gid_t>(OtherUser())};
        return 0;
    }
    int GroupsOfUser(const std::string& name, gid_t group, std::vector<gid_t>& groups) override {
        return lookupFailing == Lookup::GroupList ? code : RealLinuxSystem::GroupsOfUser(name, group, groups);
    }
    std::optional<std::string> Environment(const char* name) override {
        if (std::string_view(name) != "SUDO_UID" && std::string_view(name) != "SUDO_GID") return std::nullopt;
        return std::to_string(OtherUser());
    }
    // Each step that is not the failing one succeeds without changing anything.
    int SetGroups(std::size_t, const gid_t*) override { return Answer(Step::Groups); }
    int SetGroupId(gid_t) override { return Answer(Step::Group); }
    int SetUserId(uid_t) override { return failing == Step::UserWithoutChange ? 0 : Answer(Step::User); }
    int CloseFrom(unsigned first) override {
        if (!closeRangeMissing) return RealLinuxSystem::CloseFrom(first);
        errno = ENOSYS;
        return -1;
    }

private:
    static uid_t OtherUser() { return getuid() == 54330 ? 54331 : 54330; }
    int Answer(Step step) {
        if (step != failing) return 0;
        errno = code;
        return -1;
    }
};

class CapturingPlatform final : public vespane::LinuxLaunchPlatform {
public:
    using LinuxLaunchPlatform::LinuxLaunchPlatform;
    void WriteStandardError(std::string_view text) override { standardError += text; }
    std::string standardError;
};

vespane::ExitCode LaunchInProcess(vespane::LinuxLaunchPlatform& platform, const std::string& path) {
    const char* argv[] = {"vespane", path.c_str(), nullptr};
    return vespane::LaunchRestricted(2, argv, platform);
}

struct SwitchFailureCase {
    const char* name;
    SeamSystem::Step failing;
    int code;      // the errno the step answers
    int expected;  // the exit code
};

class VespaneSwitchFailureTest : public ::testing::TestWithParam<SwitchFailureCase> {};

// A step of the change of user that fails: nothing runs, and the failure is
// reported as every start failure, with that step's errno.
TEST_P(VespaneSwitchFailureTest, StartsNothing) {
    const SwitchFailureCase& c = GetParam();
    ondrel::testing::TempDir folder;
    const fs::path script = folder.Path() / "child.sh";
    std::ofstream(script) << "#!/bin/sh\ntouch \"$0.ran\"\n";
    fs::permissions(script, fs::perms::all);
    fs::permissions(folder.Path(), fs::perms::all);

    SeamSystem system;
    system.failing = c.failing;
    system.code = c.code;
    CapturingPlatform platform(system);
    const vespane::ExitCode exitCode = LaunchInProcess(platform, script.string());
    EXPECT_EQ(exitCode, static_cast<vespane::ExitCode>(c.expected));
    EXPECT_EQ(platform.standardError, StartFailure(static_cast<unsigned long>(c.expected)));
    EXPECT_FALSE(fs::exists(script.string() + ".ran")) << "the program ran";
}

INSTANTIATE_TEST_SUITE_P(VespaneLinux, VespaneSwitchFailureTest,
                         ::testing::Values(SwitchFailureCase{"SetGroups", SeamSystem::Step::Groups, EINVAL, EINVAL},
                                           SwitchFailureCase{"SetGroupId", SeamSystem::Step::Group, EPERM, EPERM},
                                           SwitchFailureCase{"SetUserId", SeamSystem::Step::User, EAGAIN, EAGAIN},
                                           // setuid answering success while the ids stay
                                           SwitchFailureCase{"UserUnchanged", SeamSystem::Step::UserWithoutChange, 0, EPERM}),
                         ondrel::testing::CaseName());

struct PrepareFailureCase {
    const char* name;
    SeamSystem::Lookup failing;
    bool setUserId;  // root by the set-user-ID bit, else through sudo
    bool root;
};

class VespanePrepareFailureTest : public ::testing::TestWithParam<PrepareFailureCase> {};

// A lookup that fails while the restriction is prepared: nothing runs,
// nothing is written, and the exit code is that lookup's errno.
TEST_P(VespanePrepareFailureTest, StartsNothingSilently) {
    const PrepareFailureCase& c = GetParam();
    ondrel::testing::TempDir folder;
    const fs::path script = folder.Path() / "child.sh";
    std::ofstream(script) << "#!/bin/sh\ntouch \"$0.ran\"\n";
    fs::permissions(script, fs::perms::all);

    SeamSystem system;
    system.lookupFailing = c.failing;
    system.code = EIO;
    system.setUserId = c.setUserId;
    system.root = c.root;
    CapturingPlatform platform(system);
    EXPECT_EQ(LaunchInProcess(platform, script.string()), static_cast<vespane::ExitCode>(EIO));
    EXPECT_EQ(platform.standardError, "");
    EXPECT_FALSE(fs::exists(script.string() + ".ran")) << "the program ran";
}

INSTANTIATE_TEST_SUITE_P(
    VespaneLinux, VespanePrepareFailureTest,
    ::testing::Values(PrepareFailureCase{"AdministrativeGroups", SeamSystem::Lookup::GroupDatabase, false, true},
                      PrepareFailureCase{"SudoCallerAccount", SeamSystem::Lookup::UserDatabase, false, true},
                      PrepareFailureCase{"SudoCallerGroups", SeamSystem::Lookup::GroupList, false, true},
                      PrepareFailureCase{"SetUserIdOwnGroups", SeamSystem::Lookup::OwnGroups, true, true},
                      PrepareFailureCase{"NotRootOwnGroups", SeamSystem::Lookup::OwnGroups, false, false}),
    ondrel::testing::CaseName());

// Where close_range fails, the descriptors to close are found in
// /proc/self/fd: a low one and one far up are both gone in the child.
TEST(VespaneLinux, DescriptorsClosedWithoutCloseRange) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int high = static_cast<int>(std::min<rlim_t>(limit.rlim_cur - 1, 1000));
    const int low = open("/dev/null", O_RDONLY);  // no close-on-exec
    ASSERT_GE(low, 0);
    ASSERT_EQ(dup2(low, high), high);

    ondrel::testing::TempDir folder;
    StartedChild child(folder.Path() / "child.sh");
    SeamSystem system;
    system.closeRangeMissing = true;
    system.root = false;  // our own ids stay: only the descriptors are looked at
    CapturingPlatform platform(system);
    const vespane::ExitCode exitCode = LaunchInProcess(platform, (folder.Path() / "child.sh").string());
    close(high);
    close(low);
    ASSERT_EQ(exitCode, 0U) << platform.standardError;
    const pid_t pid = child.Await();
    ASSERT_GT(pid, 0) << "the child did not come up";
    EXPECT_EQ(ReadChild(pid).descriptors, (std::vector<int>{0, 1, 2}));
}

// A path with blanks, quoted for the shell, arrives as the one argument.
TEST(VespaneLinux, QuotedPathWithBlanks) {
    ondrel::testing::TempDir folder;
    fs::create_directories(folder.Path() / "with blanks");
    const fs::path script = folder.Path() / "with blanks" / "the child.sh";
    StartedChild child(script);
    std::string command;
    command.append("'").append(LauncherPath().string()).append("' \"").append(script.string()).append("\"");
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_GT(child.Await(), 0);
    EXPECT_EQ(child.Arguments(), NoArgumentsRecord(script));
}

TEST(VespaneLinux, NotExecutable) {
    ondrel::testing::TempDir folder;
    const std::string path = folder.Write("plain.txt", "not a program\n");
    const RunResult result = RunLauncher({path});
    EXPECT_EQ(result.exitCode, static_cast<unsigned long>(EACCES));
    EXPECT_EQ(result.err, StartFailure(EACCES));
}

#endif

}  // namespace
