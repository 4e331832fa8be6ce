#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace ondrel::testing {

bool ChildPassesWithin(const std::string& test, std::chrono::seconds deadline) {
    const std::string filter = "--gtest_filter=" + test;
#ifdef _WIN32
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, MAX_PATH) == 0) return false;
    std::string command = std::string("\"") + self + "\" " + filter;
    SetEnvironmentVariableA("ONDREL_CHILD", "1");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    const BOOL started =
        CreateProcessA(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child);
    SetEnvironmentVariableA("ONDREL_CHILD", nullptr);
    if (!started) return false;
    CloseHandle(child.hThread);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline).count();
    DWORD code = 1;
    if (WaitForSingleObject(child.hProcess, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) {
        ADD_FAILURE() << test << " did not end within " << deadline.count() << " s";
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, INFINITE);
    } else {
        GetExitCodeProcess(child.hProcess, &code);
    }
    CloseHandle(child.hProcess);
    return code == 0;
#else
    std::vector<char*> argv = {const_cast<char*>("/proc/self/exe"), const_cast<char*>(filter.c_str()), nullptr};
    setenv("ONDREL_CHILD", "1", 1);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ);
    unsetenv("ONDREL_CHILD");
    if (spawned != 0) return false;
    const auto until = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            ADD_FAILURE() << test << " did not end within " << deadline.count() << " s";
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFSIGNALED(status)) ADD_FAILURE() << test << " was killed by signal " << WTERMSIG(status);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
#endif
}

#ifndef _WIN32
void LimitAddressSpaceToNowAnd(std::size_t more) {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + more;
    rlimit r{limit, limit};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &r), 0);
}
#endif

}  // namespace ondrel::testing
