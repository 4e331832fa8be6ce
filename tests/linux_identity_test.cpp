// Who the child of the Linux launcher becomes, decided over a fake user and
// group database, environment, ids and groups: no root needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "launcher/linux_platform.h"
#include "tests/support/test_files.h"

using vespane::Identity;
using vespane::UserEntry;

namespace {

constexpr gid_t kSudoGroup = 27, kAdmGroup = 4, kUsersGroup = 100, kAudioGroup = 29;
// Groups no account below is a member of: one root runs with, one a caller runs with.
constexpr gid_t kRootOnlyGroup = 7000, kCallerOnlyGroup = 5000;
const std::vector<gid_t> kAdministrative{0, kSudoGroup, kAdmGroup};

struct Account {
    std::string name;
    gid_t group;
    std::vector<gid_t> memberOf;  // groups listing the user as a member
};

// The database: alice (1000, member of sudo, adm, users, audio), bob (1001,
// member of users), nobody (65534), root (0); no entry for other ids.
const std::map<uid_t, Account> kAccounts = {
    {0, {"root", 0, {}}},
    {1000, {"alice", 1000, {kSudoGroup, kAdmGroup, kUsersGroup, kAudioGroup}}},
    {1001, {"bob", 1001, {kUsersGroup}}},
    {65534, {"nobody", 65534, {}}},
};

class FakeSystem final : public vespane::LinuxSystem {
public:
    uid_t effective = 0, real = 0;
    gid_t realGroup = 0;
    // The groups we run with: root's unless a case says otherwise, so that
    // any of them reaching a child of sudo or pkexec shows.
    std::vector<gid_t> own{0, kSudoGroup, kRootOnlyGroup};
    std::map<std::string, std::string> environment;
    int userLookupError = 0, groupListError = 0, ownGroupsError = 0;

    uid_t EffectiveUserId() override { return effective; }
    uid_t RealUserId() override { return real; }
    gid_t RealGroupId() override { return realGroup; }
    int OwnGroups(std::vector<gid_t>& groups) override {
        if (ownGroupsError != 0) return ownGroupsError;
        groups = own;
        return 0;
    }
    std::optional<std::string> Environment(const char* name) override {
        auto found = environment.find(name);
        if (found == environment.end()) return std::nullopt;
        return found->second;
    }
    int FindUser(uid_t user, std::optional<UserEntry>& entry) override {
        entry.reset();
        if (userLookupError != 0) return userLookupError;
        if (auto found = kAccounts.find(user); found != kAccounts.end()) {
            entry = UserEntry{found->second.name, found->second.group};
        }
        return 0;
    }
    int FindGroup(const char* name, std::optional<gid_t>& id) override {
        static const std::map<std::string, gid_t> groups = {{"root", 0}, {"sudo", kSudoGroup}, {"adm", kAdmGroup}};
        id.reset();
        if (auto found = groups.find(name); found != groups.end()) id = found->second;
        return 0;
    }
    // As getgrouplist: the given group first, then the groups listing the user.
    int GroupsOfUser(const std::string& name, gid_t group, std::vector<gid_t>& groups) override {
        if (groupListError != 0) return groupListError;
        groups.assign(1, group);
        for (const auto& [id, account] : kAccounts) {
            if (account.name != name) continue;
            for (gid_t member : account.memberOf) {
                if (member != group) groups.push_back(member);
            }
        }
        return 0;
    }
    // Never reached while choosing.
    int SetGroups(std::size_t, const gid_t*) override { return Unexpected(); }
    int SetGroupId(gid_t) override { return Unexpected(); }
    int SetUserId(uid_t) override { return Unexpected(); }
    int CloseFrom(unsigned) override { return Unexpected(); }

private:
    static int Unexpected() {
        ADD_FAILURE() << "the choice changed the process";
        errno = EPERM;
        return -1;
    }
};

struct ChoiceCase {
    const char* name;
    uid_t effective, real;
    gid_t realGroup;
    std::map<std::string, std::string> environment;
    std::optional<Identity> expected;  // nothing: our own ids stay
    std::optional<std::vector<gid_t>> own = std::nullopt;  // the groups we run with; nothing: root's
};

Identity As(uid_t user, gid_t group, std::vector<gid_t> groups) { return Identity{user, group, std::move(groups)}; }

const Identity kNobody = As(65534, 65534, {65534});

class ChooseIdentityTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseIdentityTest, UserGroupAndGroups) {
    const ChoiceCase& c = GetParam();
    FakeSystem system;
    system.effective = c.effective;
    system.real = c.real;
    system.realGroup = c.realGroup;
    system.environment = c.environment;
    if (c.own) system.own = *c.own;
    std::optional<Identity> chosen = Identity{};
    ASSERT_EQ(vespane::ChooseIdentity(system, kAdministrative, chosen), 0);
    ASSERT_EQ(chosen.has_value(), c.expected.has_value());
    if (!chosen) return;
    EXPECT_EQ(chosen->user, c.expected->user);
    EXPECT_EQ(chosen->group, c.expected->group);
    EXPECT_EQ(chosen->groups, c.expected->groups);
    // Whatever the source, never root and never an administrative group.
    EXPECT_NE(chosen->user, 0U);
    for (gid_t id : chosen->groups) EXPECT_EQ(std::count(kAdministrative.begin(), kAdministrative.end(), id), 0) << id;
    EXPECT_EQ(std::count(kAdministrative.begin(), kAdministrative.end(), chosen->group), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, ChooseIdentityTest,
    ::testing::Values(
        // Not root: nothing changes, whatever the environment names.
        ChoiceCase{"NotRoot", 1000, 1000, 1000, {{"SUDO_UID", "1001"}}, std::nullopt},
        ChoiceCase{"RootRealUserButNotEffective", 1000, 0, 0, {}, std::nullopt},
        // Set-user-ID root: the real user and group, before any variable, with
        // the groups the caller runs with less the administrative ones; not
        // those the database gives (alice's sudo, adm, users, audio).
        ChoiceCase{"SetUserIdRoot", 0, 1000, 1000, {{"SUDO_UID", "1001"}},
                   As(1000, 1000, {1000, kAudioGroup, kCallerOnlyGroup}),
                   std::vector<gid_t>{1000, kAudioGroup, kCallerOnlyGroup}},
        ChoiceCase{"SetUserIdRootDatabaseGroupsNotAdded", 0, 1000, 1000, {}, As(1000, 1000, {1000}),
                   std::vector<gid_t>{1000}},
        ChoiceCase{"SetUserIdRootNoGroups", 0, 1000, 1000, {}, As(1000, 1000, {}), std::vector<gid_t>{}},
        ChoiceCase{"SetUserIdRootOwnAdministrativeDropped", 0, 1000, 1000, {}, As(1000, 1000, {kUsersGroup}),
                   std::vector<gid_t>{kSudoGroup, 0, kAdmGroup, kUsersGroup, kUsersGroup}},
        ChoiceCase{"SetUserIdRootRealGroupAdministrative", 0, 1001, kSudoGroup, {}, As(1001, 65534, {kUsersGroup}),
                   std::vector<gid_t>{kSudoGroup, kUsersGroup}},
        ChoiceCase{"SetUserIdRootRealGroupMinusOne", 0, 1001, static_cast<gid_t>(-1), {}, As(1001, 65534, {}),
                   std::vector<gid_t>{}},
        ChoiceCase{"SetUserIdRootUnknownUser", 0, 4242, 4243, {}, As(4242, 4243, {4243, kCallerOnlyGroup}),
                   std::vector<gid_t>{4243, kCallerOnlyGroup}},
        // sudo names the user and group.
        ChoiceCase{"Sudo", 0, 0, 0, {{"SUDO_UID", "1000"}, {"SUDO_GID", "1000"}}, As(1000, 1000, {1000, kUsersGroup, kAudioGroup})},
        ChoiceCase{"SudoOtherGroup", 0, 0, 0, {{"SUDO_UID", "1001"}, {"SUDO_GID", "5000"}}, As(1001, 5000, {5000, kUsersGroup})},
        ChoiceCase{"SudoWithoutGroup", 0, 0, 0, {{"SUDO_UID", "1001"}}, As(1001, 1001, {1001, kUsersGroup})},
        ChoiceCase{"SudoGroupZero", 0, 0, 0, {{"SUDO_UID", "1001"}, {"SUDO_GID", "0"}}, As(1001, 65534, {65534, kUsersGroup})},
        ChoiceCase{"SudoGroupAdministrative", 0, 0, 0, {{"SUDO_UID", "1001"}, {"SUDO_GID", "4"}}, As(1001, 65534, {65534, kUsersGroup})},
        ChoiceCase{"SudoGroupNotANumber", 0, 0, 0, {{"SUDO_UID", "1001"}, {"SUDO_GID", "x"}}, As(1001, 1001, {1001, kUsersGroup})},
        ChoiceCase{"SudoUnknownUser", 0, 0, 0, {{"SUDO_UID", "4242"}, {"SUDO_GID", "4243"}}, As(4242, 4243, {4243})},
        ChoiceCase{"SudoUnknownUserWithoutGroup", 0, 0, 0, {{"SUDO_UID", "4242"}}, As(4242, 65534, {65534})},
        ChoiceCase{"SudoBeforePkexec", 0, 0, 0, {{"SUDO_UID", "1001"}, {"PKEXEC_UID", "1000"}}, As(1001, 1001, {1001, kUsersGroup})},
        // sudo run by root names root: the next source decides.
        ChoiceCase{"SudoFromRoot", 0, 0, 0, {{"SUDO_UID", "0"}, {"SUDO_GID", "0"}}, kNobody},
        ChoiceCase{"SudoFromRootThenPkexec", 0, 0, 0, {{"SUDO_UID", "0"}, {"PKEXEC_UID", "1001"}}, As(1001, 1001, {1001, kUsersGroup})},
        ChoiceCase{"Pkexec", 0, 0, 0, {{"PKEXEC_UID", "1000"}}, As(1000, 1000, {1000, kUsersGroup, kAudioGroup})},
        ChoiceCase{"PkexecRoot", 0, 0, 0, {{"PKEXEC_UID", "0"}}, kNobody},
        // Nobody named: nobody.
        ChoiceCase{"Nobody", 0, 0, 0, {}, kNobody},
        ChoiceCase{"SudoNotANumber", 0, 0, 0, {{"SUDO_UID", "alice"}}, kNobody},
        ChoiceCase{"SudoNegative", 0, 0, 0, {{"SUDO_UID", "-1000"}}, kNobody},
        ChoiceCase{"SudoEmpty", 0, 0, 0, {{"SUDO_UID", ""}}, kNobody},
        ChoiceCase{"SudoBlank", 0, 0, 0, {{"SUDO_UID", " 1000"}}, kNobody},
        ChoiceCase{"SudoMinusOne", 0, 0, 0, {{"SUDO_UID", "4294967295"}}, kNobody},
        ChoiceCase{"SudoTooLarge", 0, 0, 0, {{"SUDO_UID", "4294967296"}}, kNobody}),
    ondrel::testing::CaseName());

// A lookup that fails starts nothing: its error is the answer. A service the
// row does not consult cannot fail it.
struct LookupErrorCase {
    const char* name;
    uid_t real;
    int FakeSystem::*failing;
    int expected;
};

class LookupErrorTest : public ::testing::TestWithParam<LookupErrorCase> {};

TEST_P(LookupErrorTest, Reported) {
    const LookupErrorCase& c = GetParam();
    FakeSystem system;
    system.real = c.real;
    system.realGroup = c.real;
    system.environment = {{"SUDO_UID", "1000"}};
    system.*c.failing = EIO;
    std::optional<Identity> chosen;
    EXPECT_EQ(vespane::ChooseIdentity(system, kAdministrative, chosen), c.expected);
    EXPECT_EQ(chosen.has_value(), c.expected == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, LookupErrorTest,
    ::testing::Values(LookupErrorCase{"SudoUserLookup", 0, &FakeSystem::userLookupError, EIO},
                      LookupErrorCase{"SudoGroupList", 0, &FakeSystem::groupListError, EIO},
                      LookupErrorCase{"SudoOwnGroupsUnused", 0, &FakeSystem::ownGroupsError, 0},
                      LookupErrorCase{"SetUserIdOwnGroups", 1000, &FakeSystem::ownGroupsError, EIO},
                      LookupErrorCase{"SetUserIdDatabaseUnused", 1000, &FakeSystem::groupListError, 0},
                      LookupErrorCase{"SetUserIdUserLookupUnused", 1000, &FakeSystem::userLookupError, 0}),
    ondrel::testing::CaseName());

TEST(AdministrativeGroupIds, GroupZeroAndTheNamedOnesThatExist) {
    FakeSystem system;
    std::vector<gid_t> ids;
    ASSERT_EQ(vespane::AdministrativeGroupIds(system, ids), 0);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<gid_t>{0, kAdmGroup, kSudoGroup}));
}

struct ParseCase {
    const char* name;
    std::string text;
    std::optional<uid_t> id;
};

class ParseIdTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseIdTest, Id) { EXPECT_EQ(vespane::ParseId(GetParam().text), GetParam().id); }

INSTANTIATE_TEST_SUITE_P(Launcher, ParseIdTest,
                         ::testing::Values(ParseCase{"One", "1", 1}, ParseCase{"Ordinary", "1000", 1000},
                                           ParseCase{"LeadingZeros", "0001000", 1000},
                                           ParseCase{"Largest", "4294967294", 4294967294U},
                                           ParseCase{"MinusOne", "4294967295", std::nullopt},
                                           ParseCase{"Overflow", "99999999999", std::nullopt},
                                           ParseCase{"Zero", "0", 0}, ParseCase{"Empty", "", std::nullopt},
                                           ParseCase{"Sign", "+1000", std::nullopt},
                                           ParseCase{"Trailing", "1000 ", std::nullopt},
                                           ParseCase{"Hex", "0x10", std::nullopt}),
                         ondrel::testing::CaseName());

}  // namespace
