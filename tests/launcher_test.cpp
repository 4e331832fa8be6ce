// The launcher's logic against a fake platform: which steps run, in which
// order, what is written to standard error, the exit code, and that the
// restriction is released once, after any message. On Windows also the
// platform itself over fake safer services: the system calls, their
// arguments, where each error code is taken, and the order of the releases.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "launcher/launch.h"
#include "tests/support/test_files.h"

#ifdef _WIN32
#include <cstdint>
#include <map>

#include "launcher/win32_platform.h"
#endif

using vespane::ExitCode;
using vespane::PathChar;
using PathText = std::basic_string<PathChar>;
using Calls = std::vector<std::string>;

namespace {

const std::string kUsage =
    "\n\nVespane v1.0.0 part of Marrowby\nUsage is:\n\n\tVespane {path} \n\nWhere: \n"
    "\tpath is the full path to an executable to run.\n";

PathText Widen(const std::string& text) { return PathText(text.begin(), text.end()); }

enum class Fail { Nothing, Prepare, Start };

// Logs each step; its restriction logs its start and its release.
class FakePlatform final : public vespane::LaunchPlatform {
public:
    FakePlatform(Fail fail, ExitCode code) : fail_(fail), code_(code) {}

    vespane::Prepared Prepare() override {
        calls.push_back("Prepare");
        if (fail_ == Fail::Prepare) return {nullptr, code_};
        ++restrictions;
        return {std::make_unique<FakeRestriction>(*this), 0};
    }
    void WriteStandardError(std::string_view text) override {
        calls.push_back("WriteStandardError");
        standardError += text;
    }

    Calls calls;
    std::string standardError;
    const PathChar* startedPath = nullptr;
    int restrictions = 0;  // made and not yet released

private:
    class FakeRestriction final : public vespane::Restriction {
    public:
        explicit FakeRestriction(FakePlatform& platform) : platform_(platform) {}
        ~FakeRestriction() override {
            platform_.calls.push_back("Release");
            --platform_.restrictions;
        }
        std::optional<ExitCode> Start(const PathChar* path) override {
            platform_.calls.push_back("Start");
            platform_.startedPath = path;
            if (platform_.fail_ == Fail::Start) return platform_.code_;
            return std::nullopt;
        }

    private:
        FakePlatform& platform_;
    };

    Fail fail_;
    ExitCode code_;
};

struct LaunchCase {
    const char* name;
    std::vector<std::optional<std::string>> arguments;  // after the program name
    Fail fail;
    ExitCode code;  // the platform's error code for the failing step
    ExitCode exitCode;
    std::string standardError;
    Calls calls;
};

const Calls kStarted = {"Prepare", "Start", "Release"};
const Calls kStartFailed = {"Prepare", "Start", "WriteStandardError", "Release"};

// The argument vector of a case: a missing argument is a null pointer.
class Arguments {
public:
    explicit Arguments(const std::vector<std::optional<std::string>>& arguments) {
        texts_.push_back(Widen("Vespane"));
        for (const auto& argument : arguments) texts_.push_back(Widen(argument.value_or("")));
        for (std::size_t i = 0; i < texts_.size(); ++i) {
            argv_.push_back(i > 0 && !arguments[i - 1] ? nullptr : texts_[i].c_str());
        }
        argv_.push_back(nullptr);
    }
    int Count() const { return static_cast<int>(texts_.size()); }
    const PathChar* const* Vector() const { return argv_.data(); }

private:
    std::vector<PathText> texts_;
    std::vector<const PathChar*> argv_;
};

class LaunchTest : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(LaunchTest, StepsMessageAndExitCode) {
    const LaunchCase& c = GetParam();
    const Arguments arguments(c.arguments);
    FakePlatform platform(c.fail, c.code);
    const ExitCode exitCode = vespane::LaunchRestricted(arguments.Count(), arguments.Vector(), platform);

    EXPECT_EQ(exitCode, c.exitCode);
    EXPECT_EQ(platform.standardError, c.standardError);
    EXPECT_EQ(platform.calls, c.calls);
    EXPECT_EQ(platform.restrictions, 0) << "a restriction was not released";
    if (platform.startedPath != nullptr) {
        EXPECT_EQ(platform.startedPath, arguments.Vector()[1]) << "not the argument itself";
    }
}

const std::string k259(259, 'p');
const std::string k260(260, 'p');

INSTANTIATE_TEST_SUITE_P(
    Launcher, LaunchTest,
    ::testing::Values(
        LaunchCase{"NoArgument", {}, Fail::Nothing, 0, 87, kUsage, {"WriteStandardError"}},
        LaunchCase{"ThreeArguments", {"a", "b", "c"}, Fail::Nothing, 0, 87, kUsage, {"WriteStandardError"}},
        LaunchCase{"TwoArgumentsAndTheExtraIsIgnored", {"/bin/app", "extra"}, Fail::Nothing, 0, 0, "", kStarted},
        LaunchCase{"OneArgumentStarts", {"/bin/app"}, Fail::Nothing, 0, 0, "", kStarted},
        LaunchCase{"Path259GoesOn", {k259}, Fail::Nothing, 0, 0, "", kStarted},
        LaunchCase{"Path260Refused", {k260}, Fail::Nothing, 0, 87, "", {}},
        LaunchCase{"Path260RefusedWithExtra", {k260, "x"}, Fail::Nothing, 0, 87, "", {}},
        LaunchCase{"NullPathRefused", {std::nullopt}, Fail::Nothing, 0, 87, "", {}},
        LaunchCase{"EmptyPathGoesOn", {""}, Fail::Start, 2, 2, "CreateProcessAsUser failed (2)\n", kStartFailed},
        LaunchCase{"PrepareFails", {"/bin/app"}, Fail::Prepare, 1260, 1260, "", {"Prepare"}},
        // A failure whose code is 0 still starts nothing.
        LaunchCase{"PrepareFailsWithCodeZero", {"/bin/app"}, Fail::Prepare, 0, 0, "", {"Prepare"}},
        LaunchCase{"StartFails", {"/missing"}, Fail::Start, 2, 2, "CreateProcessAsUser failed (2)\n", kStartFailed},
        LaunchCase{"StartFailsWithCodeZero", {"/missing"}, Fail::Start, 0, 0, "CreateProcessAsUser failed (0)\n",
                   kStartFailed},
        LaunchCase{"StartFailsWithLargestCode",
                   {"/missing"},
                   Fail::Start,
                   0xFFFFFFFFU,
                   0xFFFFFFFFU,
                   "CreateProcessAsUser failed (4294967295)\n",
                   kStartFailed},
        LaunchCase{"StartFailsWithCode87", {"/x"}, Fail::Start, 87, 87, "CreateProcessAsUser failed (87)\n",
                   kStartFailed}),
    ondrel::testing::CaseName());

TEST(LaunchArgumentCount, OnlyTwoAndThreeGoOn) {
    const PathText program = Widen("Vespane"), path = Widen("/bin/app");
    const PathChar* argv[] = {program.c_str(), path.c_str(), path.c_str(), path.c_str(), path.c_str(), nullptr};
    for (int argc = 0; argc <= 5; ++argc) {
        FakePlatform platform(Fail::Nothing, 0);
        const ExitCode exitCode = vespane::LaunchRestricted(argc, argv, platform);
        const bool goesOn = argc == 2 || argc == 3;
        EXPECT_EQ(exitCode, goesOn ? 0U : 87U) << "argc " << argc;
        EXPECT_EQ(platform.standardError, goesOn ? "" : kUsage) << "argc " << argc;
    }
}

struct LengthCase {
    const char* name;
    std::string text;
    std::size_t limit;
    std::optional<std::size_t> length;
};

class BoundedLengthTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(BoundedLengthTest, Length) {
    const PathText text = Widen(GetParam().text);
    EXPECT_EQ(vespane::BoundedLength(text.c_str(), GetParam().limit), GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(Launcher, BoundedLengthTest,
                         ::testing::Values(LengthCase{"Empty", "", 260, 0}, LengthCase{"Short", "abc", 260, 3},
                                           LengthCase{"OneBelowLimit", std::string(259, 'x'), 260, 259},
                                           LengthCase{"AtLimit", std::string(260, 'x'), 260, std::nullopt},
                                           LengthCase{"EmptyWithLimitZero", "", 0, std::nullopt},
                                           LengthCase{"LimitOne", "", 1, 0},
                                           LengthCase{"TerminatorJustPastLimit", "abcd", 4, std::nullopt}),
                         ondrel::testing::CaseName());

TEST(BoundedLength, NullFails) { EXPECT_EQ(vespane::BoundedLength(nullptr, 260), std::nullopt); }

#ifdef _WIN32

enum class Service { None, Level, Token, Process };

// Hands out distinct handles, logs each call with the names of the handles it
// got, notes every argument that is not the one the launcher must pass, and
// keeps track of what is still open. Every close fails and overwrites the
// last error, so a code taken after a release shows.
class FakeSafer final : public vespane::Win32System {
public:
    FakeSafer(Service failing, DWORD code) : failing_(failing), code_(code) {}

    BOOL SaferCreateLevel(DWORD scope, DWORD level, DWORD openFlags, SAFER_LEVEL_HANDLE* out,
                          void* reserved) override {
        calls.push_back("SaferCreateLevel");
        Expect(scope == SAFER_SCOPEID_USER && level == SAFER_LEVELID_NORMALUSER && openFlags == 0 &&
                   reserved == nullptr,
               "level arguments");
        if (failing_ == Service::Level) return Failed();
        *out = reinterpret_cast<SAFER_LEVEL_HANDLE>(Obtain("level"));
        return TRUE;
    }
    BOOL SaferComputeTokenFromLevel(SAFER_LEVEL_HANDLE level, HANDLE inputToken, HANDLE* outToken, DWORD flags,
                                    void* reserved) override {
        calls.push_back("SaferComputeTokenFromLevel " + Name(level));
        Expect(inputToken == nullptr && flags == 0 && reserved == nullptr, "token arguments");
        if (failing_ == Service::Token) return Failed();
        *outToken = Obtain("token");
        return TRUE;
    }
    BOOL CreateProcessAsUserW(HANDLE token, const wchar_t* application, wchar_t* commandLine,
                              SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                              BOOL inheritHandles, DWORD creationFlags, void* environment, const wchar_t* directory,
                              STARTUPINFOW* startup, PROCESS_INFORMATION* information) override {
        calls.push_back("CreateProcessAsUserW " + Name(token));
        startedPath = application;
        Expect(commandLine == nullptr && processAttributes == nullptr && threadAttributes == nullptr &&
                   !inheritHandles && creationFlags == CREATE_NEW_CONSOLE && environment == nullptr &&
                   directory == nullptr,
               "process arguments");
        Expect(OnlySizeSet(*startup), "start-up information");
        if (failing_ == Service::Process) return Failed();
        information->hProcess = Obtain("process");
        information->hThread = Obtain("thread");
        return TRUE;
    }
    BOOL CloseHandle(HANDLE handle) override { return Release("CloseHandle", handle); }
    BOOL SaferCloseLevel(SAFER_LEVEL_HANDLE level) override { return Release("SaferCloseLevel", level); }
    DWORD GetLastError() override {
        calls.push_back("GetLastError");
        return lastError_;
    }

    Calls calls;
    const wchar_t* startedPath = nullptr;
    std::map<HANDLE, std::string> open;
    std::vector<std::string> faults;  // wrong arguments, releases of what is not open

private:
    BOOL Failed() {
        lastError_ = code_;
        return FALSE;
    }
    HANDLE Obtain(const std::string& name) {
        const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x100 + 4 * names_.size()));
        names_[handle] = name;
        open[handle] = name;
        return handle;
    }
    std::string Name(const void* handle) const {
        auto found = names_.find(const_cast<void*>(handle));
        return found == names_.end() ? "unknown" : found->second;
    }
    BOOL Release(const std::string& operation, void* handle) {
        calls.push_back(operation + " " + Name(handle));
        if (open.erase(handle) == 0) faults.push_back(operation + " " + Name(handle));
        lastError_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    // Every field zero but cb, which holds the structure's size.
    static bool OnlySizeSet(const STARTUPINFOW& s) {
        const bool pointersNull = s.lpReserved == nullptr && s.lpDesktop == nullptr && s.lpTitle == nullptr &&
                                  s.lpReserved2 == nullptr && s.hStdInput == nullptr && s.hStdOutput == nullptr &&
                                  s.hStdError == nullptr;
        const bool numbersZero = (s.dwX | s.dwY | s.dwXSize | s.dwYSize | s.dwXCountChars | s.dwYCountChars |
                                  s.dwFillAttribute | s.dwFlags | s.wShowWindow | s.cbReserved2) == 0;
        return s.cb == sizeof(STARTUPINFOW) && pointersNull && numbersZero;
    }
    void Expect(bool right, const char* what) {
        if (!right) faults.push_back(what);
    }

    Service failing_;
    DWORD code_;
    DWORD lastError_ = 0;
    std::map<HANDLE, std::string> names_;
};

// The real Windows platform over the fake, its messages logged in turn.
class LoggedWin32Platform final : public vespane::Win32LaunchPlatform {
public:
    explicit LoggedWin32Platform(FakeSafer& safer) : Win32LaunchPlatform(safer), safer_(safer) {}
    void WriteStandardError(std::string_view text) override {
        safer_.calls.push_back("WriteStandardError");
        standardError += text;
    }
    std::string standardError;

private:
    FakeSafer& safer_;
};

struct SaferCase {
    const char* name;
    Service failing;
    DWORD code;
    std::string standardError;
    Calls calls;
};

class Win32PlatformTest : public ::testing::TestWithParam<SaferCase> {};

TEST_P(Win32PlatformTest, CallsReleasesAndExitCode) {
    const SaferCase& c = GetParam();
    const Arguments arguments({"C:\\app.exe"});
    FakeSafer safer(c.failing, c.code);
    LoggedWin32Platform platform(safer);
    const ExitCode exitCode = vespane::LaunchRestricted(arguments.Count(), arguments.Vector(), platform);

    EXPECT_EQ(exitCode, c.failing == Service::None ? 0U : c.code);
    EXPECT_EQ(platform.standardError, c.standardError);
    EXPECT_EQ(safer.calls, c.calls);
    EXPECT_TRUE(safer.open.empty()) << "still open: " << safer.open.begin()->second;
    EXPECT_TRUE(safer.faults.empty()) << safer.faults.front();
    if (safer.startedPath != nullptr) {
        EXPECT_EQ(safer.startedPath, arguments.Vector()[1]) << "not the argument itself";
    }
}

const Calls kSaferPrepared = {"SaferCreateLevel", "SaferComputeTokenFromLevel level", "CreateProcessAsUserW token"};

Calls Then(Calls calls, const Calls& more) {
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, Win32PlatformTest,
    ::testing::Values(
        SaferCase{"Starts",
                  Service::None,
                  0,
                  "",
                  Then(kSaferPrepared, {"CloseHandle process", "CloseHandle thread", "CloseHandle token",
                                        "SaferCloseLevel level"})},
        SaferCase{"LevelFails", Service::Level, 1260, "", {"SaferCreateLevel", "GetLastError"}},
        SaferCase{"TokenFails",
                  Service::Token,
                  1314,
                  "",
                  {"SaferCreateLevel", "SaferComputeTokenFromLevel level", "GetLastError", "SaferCloseLevel level"}},
        SaferCase{"StartFails",
                  Service::Process,
                  2,
                  "CreateProcessAsUser failed (2)\n",
                  Then(kSaferPrepared,
                       {"GetLastError", "WriteStandardError", "CloseHandle token", "SaferCloseLevel level"})},
        SaferCase{"StartFailsWithLargestCode",
                  Service::Process,
                  0xFFFFFFFFU,
                  "CreateProcessAsUser failed (4294967295)\n",
                  Then(kSaferPrepared,
                       {"GetLastError", "WriteStandardError", "CloseHandle token", "SaferCloseLevel level"})}),
    ondrel::testing::CaseName());

#endif

}  // namespace
