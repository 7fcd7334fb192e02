// The user's roles against data served by a real qrnsecd: the per-user role
// and group caches, the process-wide backup group lists and their age, the
// dump flag of the role-cache timer, the diagnostic lines, and the role
// queries for hosts.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "frame/diagnostic_log.h"
#include "platform/os.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/backup_group_lists.h"
#include "security/common/qrnauthorize/loaded_state_view.h"
#include "security/common/qrnauthorize/process_state.h"
#include "tests/support/authorize_env.h"

namespace qrn {
namespace {

using test::AuthorizeEnv;
using test::RegDword;

const char kData[] =
    R"({"format": 1, "timestamp": "12/01/2026 10:00:00 AM", "localGroupsLevel": 0, "roles": [
  {"id": "{00000000-0000-4000-8000-000000000001}", "name": "Operators", "groups": ["SALES\\Operators"]},
  {"id": "{00000000-0000-4000-8000-000000000002}", "name": "Direct", "users": ["SALES\\carol", "Sales\\Bob"]},
  {"id": "{00000000-0000-4000-8000-000000000003}", "name": "Guests", "groups": ["EVERYONE"]}],
  "acls": {"Pay.Monthly": "Operators:7;Direct:1"},
  "userGroups": {"Sales\\Bob": ["SALES/Operators"], "SALES\\BOB": ["SALES/Operators"]}})";

std::vector<std::string> Names(const std::vector<CQRNRole*>* roles) {
  std::vector<std::string> names;
  if (roles != nullptr)
    for (const CQRNRole* role : *roles) names.emplace_back(role->roleName);
  return names;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<std::string> BstrArray(const VARIANT& value) {
  std::vector<std::string> out;
  if (value.vt != (VT_ARRAY | VT_BSTR)) return out;
  LONG last = -1;
  SafeArrayGetUBound(value.parray, 1, &last);
  for (LONG i = 0; i <= last; ++i) {
    BSTR text = nullptr;
    SafeArrayGetElement(value.parray, &i, &text);
    out.push_back(platform::Utf16ToUtf8(std::u16string_view(text, SysStringLen(text))));
    SysFreeString(text);
  }
  return out;
}

const std::vector<std::string> kServerGroups = {"\"NTGroupSupport\"=" + RegDword(1),
                                                "\"UseServerADSI\"=" + RegDword(1)};

TEST(UserRoles, CaseVariantsShareRolesButNotGroups) {
  AuthorizeEnv env;
  env.Start(kData, kServerGroups);
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\carol", 0));

  std::vector<CQRNRole*>* first = nullptr;
  std::vector<CQRNRole*>* second = nullptr;
  ASSERT_EQ(authorizer.GetUserRolesFromCache("Sales\\Bob", &first), S_OK);
  EXPECT_EQ(Names(first), (std::vector<std::string>{"Operators", "Direct", "Guests"}));
  ASSERT_EQ(authorizer.GetUserRolesFromCache("SALES\\BOB", &second), S_OK);
  EXPECT_EQ(first, second);  // one role entry, no second resolution
  EXPECT_EQ(Count(env.secd->RequestLog(), "Object=UserGroups"), 1);

  // With the roles forgotten, each spelling resolves its own groups once.
  authorizer.RefreshCacheUserRoles();
  ASSERT_EQ(authorizer.GetUserRolesFromCache("SALES\\BOB", &second), S_OK);
  EXPECT_EQ(Count(env.secd->RequestLog(), "Object=UserGroups"), 2);
  authorizer.RefreshCacheUserRoles();
  ASSERT_EQ(authorizer.GetUserRolesFromCache("Sales\\Bob", &first), S_OK);
  ASSERT_EQ(authorizer.GetUserRolesFromCache("SALES\\BOB", &second), S_OK);
  EXPECT_EQ(Count(env.secd->RequestLog(), "Object=UserGroups"), 2);

  NamedLockGuard hold(syncGroup);
  const GroupBackups& backups = BackupGroupLists();
  EXPECT_EQ(backups.groups.count("Sales\\Bob"), 1u);
  EXPECT_EQ(backups.groups.count("SALES\\BOB"), 1u);
  EXPECT_EQ(backups.groups.at("Sales\\Bob"),
            (std::vector<std::string>{"Everyone", "SALES\\Operators"}));
}

TEST(UserRoles, DumpFlagEmptiesBothCachesBeforeTheNextLookup) {
  AuthorizeEnv env;
  env.Start(kData, {"\"NTGroupSupport\"=" + RegDword(1), "\"UseServerADSI\"=" + RegDword(1),
                    "\"Mvtlog\"=" + RegDword(1)});
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\carol", 0));
  std::vector<CQRNRole*>* roles = nullptr;
  ASSERT_EQ(authorizer.GetUserRolesFromCache("Sales\\Bob", &roles), S_OK);
  ASSERT_EQ(authorizer.GetUserRolesFromCache("Sales\\Bob", &roles), S_OK);
  EXPECT_EQ(Count(env.secd->RequestLog(), "Object=UserGroups"), 1);

  g_bDumpRoleCache.store(true);  // what a tick of the role-cache timer does
  ASSERT_EQ(authorizer.GetUserRolesFromCache("Sales\\Bob", &roles), S_OK);
  EXPECT_FALSE(g_bDumpRoleCache.load());
  EXPECT_EQ(Count(env.secd->RequestLog(), "Object=UserGroups"), 2);
  EXPECT_EQ(Names(roles), (std::vector<std::string>{"Operators", "Direct", "Guests"}));

  const std::string log = test::ReadFile(env.sandbox.temp_folder() + "mvtlog.txt");
  const size_t dump = log.find("(security/common/qrnauthorize:3923)");
  ASSERT_NE(dump, std::string::npos) << log;
  EXPECT_NE(log.find("DumpRoleCache Called ################=Sales\\Bob"), std::string::npos);
  // After the dump the answer is not in the cache any more.
  EXPECT_NE(log.find("User role Not in cache=Sales\\Bob", dump), std::string::npos);
  EXPECT_EQ(Count(log, "User role in cache=Sales\\Bob"), 1);
  EXPECT_NE(log.find("***Group ***  SALES\\Operators *** matched in Role :=Operators"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("*********Role found:=Direct"), std::string::npos);
  EXPECT_NE(log.find("hr=0 ;Everyone;SALES\\Operators="), std::string::npos);
}

// The diagnostic log observes the one matching; it does not match on its
// own. A host renamed a loaded role's member in place before the first
// lookup: the answer follows the current name with the log on as with it off
// (a second, member-by-member matching for the log answered from the names
// as they were loaded).
TEST(UserRoles, DiagnosticLogDoesNotChangeTheAnswer) {
  AuthorizeEnv env;
  const std::vector<std::string> with_log = {"\"Mvtlog\"=" + RegDword(1)};
  env.Start(kData, with_log);
  auto roles_after_rename = [](bool expect_log) {
    CQRNAuthorize authorizer;
    EXPECT_TRUE(authorizer.InitCache("SALES\\carol", 0));
    EXPECT_EQ(MvtLogEnabled(), expect_log);
    CQRNAuthorizeCache* cache = CQRNAuthorizeInspector::Cache(authorizer);
    if (cache == nullptr) return std::vector<std::string>{"not loaded"};
    CQRNRole* direct = cache->roleList.roles.at(1);
    std::snprintf(direct->userMembers.at(0)->memberName,
                  sizeof direct->userMembers.at(0)->memberName, "%s", "SALES\\dave");
    std::vector<CQRNRole*>* roles = nullptr;
    EXPECT_TRUE(SUCCEEDED(authorizer.GetUserRolesFromCache("SALES\\dave", &roles)));
    std::vector<std::string> names = Names(roles);
    // The old name holds nothing any more.
    authorizer.RefreshCacheUserRoles();
    EXPECT_TRUE(SUCCEEDED(authorizer.GetUserRolesFromCache("SALES\\carol", &roles)));
    for (const std::string& name : Names(roles)) names.push_back("carol:" + name);
    return names;
  };
  const std::vector<std::string> logged = roles_after_rename(true);
  env.WriteHive(env.secd->url(), {});
  const std::vector<std::string> unlogged = roles_after_rename(false);
  EXPECT_EQ(logged, unlogged);
  EXPECT_EQ(logged, (std::vector<std::string>{"Direct", "Guests", "carol:Guests"}));
}

// The directory knows none of these users: the resolution on this computer
// finds no groups and answers S_FALSE.
class BackupGroupsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LDAPNOINIT", "1", 1);
    env_.Start(kData, {"\"NTGroupSupport\"=" + RegDword(1), "\"Mvtlog\"=" + RegDword(1)});
    ASSERT_TRUE(authorizer_.InitCache("SALES\\carol", 0));
  }
  void Backup(const std::string& user, int64_t minutes_ago) {
    NamedLockGuard hold(syncGroup);
    BackupGroupLists().groups[user] = {"SALES\\Operators"};
    BackupGroupLists().times[user] = platform::UnixSeconds() - minutes_ago * 60;
  }
  AuthorizeEnv env_;
  CQRNAuthorize authorizer_;
};

TEST_F(BackupGroupsTest, RecentBackupIsUsedWithTheResolutionsStatus) {
  Backup("SALES\\carol", 10);
  std::vector<CQRNRole*>* roles = nullptr;
  EXPECT_EQ(authorizer_.GetUserRolesFromCache("SALES\\carol", &roles), S_FALSE);
  EXPECT_EQ(Names(roles), (std::vector<std::string>{"Operators", "Direct"}));
  const std::string log = test::ReadFile(env_.sandbox.temp_folder() + "mvtlog.txt");
  EXPECT_NE(log.find("hr=1 Use back up groups for the user!!=SALES\\carol"), std::string::npos)
      << log;
  EXPECT_NE(log.find("hr=1 Group count=1"), std::string::npos);
  // A check goes on with the roles: S_FALSE is no failure.
  EXPECT_TRUE(authorizer_.CheckAccess("SALES\\carol", "Pay.Monthly", 4));
}

TEST_F(BackupGroupsTest, ExpiredBackupLeavesTheUsersOwnRoles) {
  Backup("SALES\\carol", 1441);
  std::vector<CQRNRole*>* roles = nullptr;
  EXPECT_EQ(authorizer_.GetUserRolesFromCache("SALES\\carol", &roles), S_FALSE);
  EXPECT_EQ(Names(roles), (std::vector<std::string>{"Direct"}));
  EXPECT_FALSE(authorizer_.CheckAccess("SALES\\carol", "Pay.Monthly", 4));
  EXPECT_TRUE(authorizer_.CheckAccess("SALES\\carol", "Pay.Monthly", 1));
  // The stored list stays as it was.
  NamedLockGuard hold(syncGroup);
  EXPECT_EQ(BackupGroupLists().groups.at("SALES\\carol").size(), 1u);
}

TEST_F(BackupGroupsTest, UserWithoutRolesGetsAnEmptyUncachedArray) {
  std::vector<CQRNRole*>* roles = nullptr;
  EXPECT_EQ(authorizer_.GetUserRolesFromCache("SALES\\nobody", &roles), S_FALSE);
  ASSERT_NE(roles, nullptr);
  EXPECT_TRUE(roles->empty());
  EXPECT_EQ(authorizer_.GetUserRolesFromCache("SALES\\nobody", &roles), S_FALSE);
  ASSERT_NE(roles, nullptr);
  const std::string log = test::ReadFile(env_.sandbox.temp_folder() + "mvtlog.txt");
  EXPECT_EQ(Count(log, "User role Not in cache=SALES\\nobody"), 2);
}

// Two users without roles in a row, then one with roles: each array handed
// out stays readable (AddressSanitizer reports a read of a freed one).
TEST_F(BackupGroupsTest, EmptyArraysStayValidWhileTheAuthorizerLives) {
  std::vector<CQRNRole*>* first = nullptr;
  std::vector<CQRNRole*>* second = nullptr;
  std::vector<CQRNRole*>* third = nullptr;
  EXPECT_EQ(authorizer_.GetUserRolesFromCache("SALES\\nobody", &first), S_FALSE);
  EXPECT_EQ(authorizer_.GetUserRolesFromCache("SALES\\nemo", &second), S_FALSE);
  EXPECT_EQ(authorizer_.GetUserRolesFromCache("SALES\\carol", &third), S_FALSE);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->size(), 0u);
  EXPECT_EQ(second->size(), 0u);
  EXPECT_EQ(Names(third), (std::vector<std::string>{"Direct"}));
  EXPECT_TRUE(first->empty());
}

// "admın" (dotless i) and "admİn" (dotted capital I) look like "admin" but
// are other names: they hold neither the role that names SALES\admin nor,
// through a look-alike group, the one of SALES\Admins.
TEST(UserRoles, LookAlikeNamesDoNotInheritRoles) {
  AuthorizeEnv env;
  env.Start(R"({"format": 1, "timestamp": "t-1", "localGroupsLevel": 0, "roles": [
    {"id": "{00000000-0000-4000-8000-000000000001}", "name": "Admins",
     "users": ["SALES\\admin"], "groups": ["SALES\\Admins"]},
    {"id": "{00000000-0000-4000-8000-000000000002}", "name": "Staff", "groups": ["SALES\\Staff"]}],
    "userGroups": {"SALES\\ADMIN": ["SALES/Staff"],
                   "SALES\\adm\u0131n": ["SALES/ADM\u0130NS", "SALES/Staff"],
                   "SALES\\adm\u0130n": ["SALES/adm\u0131ns"]}})",
            kServerGroups);
  const std::vector<std::string> hives = {"QRNAUTH_MACHINE_HIVE=" + env.sandbox.machine_hive(),
                                          "QRNAUTH_USER_HIVE=" + env.sandbox.user_hive(),
                                          "TMPDIR=" + env.sandbox.temp_folder()};
  auto roles = [&](const std::string& user) {
    const test::ProcessResult r =
        test::RunProcess({test::CliPath(), "roles", "--user", user}, hives);
    return std::make_pair(r.exit_code, r.out);
  };
  const auto admin = roles("SALES\\admin");
  EXPECT_EQ(admin.first, 0);
  EXPECT_NE(admin.second.find("  Admins\n"), std::string::npos) << admin.second;
  EXPECT_NE(admin.second.find("  Staff\n"), std::string::npos) << admin.second;
  const auto upper = roles("sales\\ADMIN");
  EXPECT_NE(upper.second.find("  Admins\n"), std::string::npos) << upper.second;

  const auto dotless = roles("SALES\\adm\xc4\xb1n");
  EXPECT_EQ(dotless.first, 0);
  EXPECT_EQ(dotless.second.find("Admins"), std::string::npos) << dotless.second;
  EXPECT_NE(dotless.second.find("  Staff\n"), std::string::npos) << dotless.second;
  const auto dotted = roles("SALES\\adm\xc4\xb0n");
  EXPECT_EQ(dotted.first, 1) << dotted.second;
  EXPECT_EQ(dotted.second, "");
}

TEST(UserRoles, ArgumentAndLoadFailures) {
  AuthorizeEnv env;
  env.Start(kData);
  CQRNAuthorize authorizer;
  std::vector<CQRNRole*>* roles = reinterpret_cast<std::vector<CQRNRole*>*>(1);
  EXPECT_EQ(authorizer.GetUserRolesFromCache("SALES\\carol", &roles), E_FAIL);
  EXPECT_EQ(roles, nullptr);
  EXPECT_TRUE(test::TrailHasDetail("Cache is not loaded"));
  EXPECT_EQ(authorizer.GetUserRolesFromCache("SALES\\carol", nullptr), E_INVALIDARG);
  EXPECT_TRUE(test::TrailHasDetail("No return value buffer"));

  // Not loaded: GetRoles fails with empty outputs, GetAllRoles leaves them.
  VARIANT names, ids;
  names.vt = VT_I4;
  ids.vt = VT_I4;
  EXPECT_EQ(authorizer.GetRoles("SALES\\carol", &names, &ids), E_FAIL);
  EXPECT_EQ(names.vt, VT_EMPTY);
  EXPECT_EQ(ids.vt, VT_EMPTY);
  names.vt = VT_I4;
  EXPECT_EQ(authorizer.GetAllRoles(&names, &ids), S_OK);
  EXPECT_EQ(names.vt, VT_I4);
  CQRNRole* role = nullptr;
  EXPECT_EQ(authorizer.GetRoleInfo("Direct", &role), E_FAIL);  // starts a load
  EXPECT_EQ(authorizer.GetRoleInfo("Direct", &role), S_OK);
  EXPECT_STREQ(role->roleName, "Direct");
}

TEST(UserRoles, RoleQueriesForHosts) {
  AuthorizeEnv env;
  env.Start(kData);
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\carol", 0));

  VARIANT names, ids;
  ASSERT_EQ(authorizer.GetRoles("SALES\\carol", &names, &ids), S_OK);
  EXPECT_EQ(BstrArray(names), (std::vector<std::string>{"Direct", "Guests"}));
  EXPECT_EQ(BstrArray(ids), (std::vector<std::string>{"{00000000-0000-4000-8000-000000000002}",
                                                      "{00000000-0000-4000-8000-000000000003}"}));
  VariantClear(&names);
  VariantClear(&ids);
  ASSERT_EQ(authorizer.GetRoles("SALES\\carol", &names), S_OK);
  EXPECT_EQ(BstrArray(names).size(), 2u);
  VariantClear(&names);

  ASSERT_EQ(authorizer.GetAllRoles(&names, &ids), S_OK);
  EXPECT_EQ(BstrArray(names), (std::vector<std::string>{"Operators", "Direct", "Guests"}));
  EXPECT_EQ(BstrArray(ids).size(), 3u);
  VariantClear(&names);
  VariantClear(&ids);

  CQRNRole* role = nullptr;
  ASSERT_EQ(authorizer.GetRoleInfo("{00000000-0000-4000-8000-000000000003}", &role), S_OK);
  EXPECT_STREQ(role->roleName, "Guests");
  CQRNRole* unchanged = role;
  EXPECT_EQ(authorizer.GetRoleInfo("guests", &role), E_FAIL);   // names compare with case
  EXPECT_EQ(authorizer.GetRoleInfo("{Guests", &role), E_FAIL);  // "{" keys are identifiers
  EXPECT_EQ(role, unchanged);
  EXPECT_EQ(authorizer.GetRoleInfo("", &role), E_FAIL);
  EXPECT_EQ(authorizer.GetRoleInfo("Operators", &role), S_OK);
  EXPECT_STREQ(role->roleId, "{00000000-0000-4000-8000-000000000001}");
}

}  // namespace
// The loaded roles keep their members as names until a host is handed a
// role; every road that hands one out gives it its member records.
TEST(UserRoles, HandedOutRolesHaveTheirMemberRecords) {
  AuthorizeEnv env;
  env.Start(kData);
  auto members = [](const CQRNRole* role) {
    std::vector<std::string> names;
    for (const auto* m : role->userMembers) names.push_back(m->memberName);
    for (const auto* m : role->groupMembers) names.push_back(std::string("group:") + m->memberName);
    return names;
  };
  const std::vector<std::string> direct = {"SALES\\carol", "Sales\\Bob"};
  {
    CQRNAuthorize authorizer;
    ASSERT_TRUE(authorizer.InitCache("SALES\\carol", 0));
    EXPECT_TRUE(authorizer.CheckAccess("SALES\\carol", "Pay.Monthly", 1));
    CQRNRole* role = nullptr;
    ASSERT_EQ(authorizer.GetRoleInfo("Direct", &role), S_OK);
    EXPECT_EQ(members(role), direct);
  }
  {
    CQRNAuthorize authorizer;
    ASSERT_TRUE(authorizer.InitCache("SALES\\carol", 0));
    std::vector<CQRNRole*>* roles = nullptr;
    ASSERT_TRUE(SUCCEEDED(authorizer.GetUserRolesFromCache("SALES\\carol", &roles)));
    ASSERT_EQ(Names(roles), (std::vector<std::string>{"Direct", "Guests"}));
    EXPECT_EQ(members((*roles)[0]), direct);
    EXPECT_EQ(members((*roles)[1]), (std::vector<std::string>{"group:EVERYONE"}));
  }
  {
    CQRNAuthorize authorizer;
    ASSERT_TRUE(authorizer.InitCache("SALES\\carol", 0));
    CQRNRoleList* list = nullptr;
    BSTR timestamp = nullptr;
    ASSERT_EQ(authorizer.GetRolesCache(&list, &timestamp), S_OK);
    SysFreeString(timestamp);
    ASSERT_EQ(list->roles.size(), 3u);
    EXPECT_EQ(members(list->roles[0]), (std::vector<std::string>{"group:SALES\\Operators"}));
    EXPECT_EQ(members(list->roles[1]), direct);
  }
}

}  // namespace qrn
