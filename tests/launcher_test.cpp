// The launcher's logic against a fake of the platform operations: which
// operations run, in which order, with which handles, what is written to
// standard error, the exit code, and that everything obtained is released.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "launcher/launch.h"
#include "tests/support/test_files.h"

using vespane::ExitCode;
using vespane::PathChar;
using vespane::PlatformHandle;
using PathText = std::basic_string<PathChar>;
using Calls = std::vector<std::string>;

namespace {

const std::string kUsage =
    "\n\nVespane v1.0.0 part of Marrowby\nUsage is:\n\n\tVespane {path} \n\nWhere: \n"
    "\tpath is the full path to an executable to run.\n";

PathText Widen(const std::string& text) { return PathText(text.begin(), text.end()); }

enum class Fail { Nothing, Level, Token, Start };

// Hands out distinct handles, logs each call with the names of the handles it
// got, and keeps track of what is still open. A failed close would overwrite
// the last error, as CloseHandle on Windows does.
class FakePlatform final : public vespane::LaunchPlatform {
public:
    FakePlatform(Fail fail, ExitCode code) : fail_(fail), code_(code) {}

    bool CreateNormalUserLevel(PlatformHandle& level) override {
        calls.push_back("CreateNormalUserLevel");
        if (fail_ == Fail::Level) return Failed();
        level = Obtain("level");
        return true;
    }
    bool ComputeRestrictedToken(PlatformHandle level, PlatformHandle& token) override {
        calls.push_back("ComputeRestrictedToken " + Name(level));
        if (fail_ == Fail::Token) return Failed();
        token = Obtain("token");
        return true;
    }
    bool StartAsUser(PlatformHandle token, const PathChar* path, vespane::StartedProcess& started) override {
        calls.push_back("StartAsUser " + Name(token));
        startedPath = path;
        if (fail_ == Fail::Start) return Failed();
        started.process = Obtain("process");
        started.thread = Obtain("thread");
        return true;
    }
    void CloseProcess(PlatformHandle process) override { Release("CloseProcess", process); }
    void CloseThread(PlatformHandle thread) override { Release("CloseThread", thread); }
    void CloseToken(PlatformHandle token) override { Release("CloseToken", token); }
    void CloseLevel(PlatformHandle level) override { Release("CloseLevel", level); }
    ExitCode LastErrorCode() override {
        calls.push_back("LastErrorCode");
        return lastError_;
    }
    void WriteStandardError(std::string_view text) override {
        calls.push_back("WriteStandardError");
        standardError += text;
    }

    Calls calls;
    std::string standardError;
    const PathChar* startedPath = nullptr;
    std::map<PlatformHandle, std::string> open;
    std::vector<std::string> badReleases;

private:
    bool Failed() {
        lastError_ = code_;
        return false;
    }
    PlatformHandle Obtain(const std::string& name) {
        const PlatformHandle handle = 0x100 + next_++;
        names_[handle] = name;
        open[handle] = name;
        return handle;
    }
    std::string Name(PlatformHandle handle) const {
        auto found = names_.find(handle);
        return found == names_.end() ? "unknown" : found->second;
    }
    void Release(const std::string& operation, PlatformHandle handle) {
        calls.push_back(operation + " " + Name(handle));
        if (open.erase(handle) == 0) badReleases.push_back(operation + " " + Name(handle));
        lastError_ = 6;  // as if the close had failed
    }

    Fail fail_;
    ExitCode code_;
    ExitCode lastError_ = 0;
    PlatformHandle next_ = 0;
    std::map<PlatformHandle, std::string> names_;
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

const Calls kStarted = {"CreateNormalUserLevel", "ComputeRestrictedToken level", "StartAsUser token",
                        "CloseProcess process",  "CloseThread thread",           "CloseToken token",
                        "CloseLevel level"};
const Calls kStartFailed = {"CreateNormalUserLevel", "ComputeRestrictedToken level", "StartAsUser token",
                            "LastErrorCode",         "WriteStandardError",           "CloseToken token",
                            "CloseLevel level"};

class LaunchTest : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(LaunchTest, StepsMessageAndExitCode) {
    const LaunchCase& c = GetParam();
    std::vector<PathText> texts;
    texts.push_back(Widen("Vespane"));
    for (const auto& argument : c.arguments) texts.push_back(Widen(argument.value_or("")));
    std::vector<const PathChar*> argv;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        argv.push_back(i > 0 && !c.arguments[i - 1] ? nullptr : texts[i].c_str());
    }
    argv.push_back(nullptr);

    FakePlatform platform(c.fail, c.code);
    const ExitCode exitCode = vespane::LaunchRestricted(static_cast<int>(texts.size()), argv.data(), platform);

    EXPECT_EQ(exitCode, c.exitCode);
    EXPECT_EQ(platform.standardError, c.standardError);
    EXPECT_EQ(platform.calls, c.calls);
    EXPECT_TRUE(platform.open.empty()) << "still open: " << platform.open.begin()->second;
    EXPECT_TRUE(platform.badReleases.empty()) << platform.badReleases.front();
    if (platform.startedPath != nullptr) {
        EXPECT_EQ(platform.startedPath, argv[1]) << "not the argument itself";
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
        LaunchCase{"LevelFails", {"/bin/app"}, Fail::Level, 1260, 1260, "", {"CreateNormalUserLevel", "LastErrorCode"}},
        LaunchCase{"TokenFails",
                   {"/bin/app"},
                   Fail::Token,
                   1314,
                   1314,
                   "",
                   {"CreateNormalUserLevel", "ComputeRestrictedToken level", "LastErrorCode", "CloseLevel level"}},
        LaunchCase{"StartFails", {"/missing"}, Fail::Start, 2, 2, "CreateProcessAsUser failed (2)\n", kStartFailed},
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

}  // namespace
