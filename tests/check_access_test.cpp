// Access checks against data served by a real qrnsecd: masks and single
// permission bits over several roles, the forms without a user, checks
// before a load, and the audit records that reach qrnsecd's audit log.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frame/config.h"
#include "platform/os.h"
#include "qrnauth/qrnauthorize.h"
#include "tests/support/authorize_env.h"

namespace qrn {
namespace {

using test::AuthorizeEnv;

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// Admins also names current_user.
std::string Data(const std::string& current_user = "NOBODY\\none") {
  return R"({"format": 1, "timestamp": "12/01/2026 10:00:00 AM", "roles": [
    {"id": "{00000000-0000-4000-8000-000000000001}", "name": "Readers", "users": ["SALES\\bob"]},
    {"id": "{00000000-0000-4000-8000-000000000002}", "name": "Writers", "users": ["SALES\\bob"]},
    {"id": "{00000000-0000-4000-8000-000000000003}", "name": "Admins", "users": ["SALES\\admin", ")" +
         Escaped(current_user) + R"("]},
    {"id": "{00000000-0000-4000-8000-000000000004}", "name": "Guests", "groups": ["everyone"]}],
  "acls": {"Pay.Monthly": "Writers:6;Admins:-1", "Pay.Rates": "Guests:1"}})";
}

std::string CurrentUser() {
  std::string computer;
  platform::ComputerName(&computer);
  const passwd* pw = getpwuid(geteuid());
  return computer + "\\" + (pw != nullptr ? pw->pw_name : "");
}

TEST(CheckAccess, MasksAndSingleBitsOverSeveralRoles) {
  AuthorizeEnv env;
  env.Start(Data());
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", 0));

  // Readers has no entry on the object; Writers' mask 6 decides.
  EXPECT_TRUE(authorizer.CheckAccess("SALES\\bob", "Pay.Monthly", 4));
  EXPECT_TRUE(authorizer.CheckAccess("sales\\BOB", "Pay.Monthly", 2));
  EXPECT_FALSE(authorizer.CheckAccess("SALES\\bob", "Pay.Monthly", 1));
  // Everyone's roles: "everyone" matches the pseudo-group in any case.
  EXPECT_TRUE(authorizer.CheckAccess("SALES\\bob", "Pay.Rates", 1));
  EXPECT_TRUE(authorizer.CheckAccess("OTHER\\eve", "Pay.Rates", 1));
  EXPECT_FALSE(authorizer.CheckAccess("OTHER\\eve", "Pay.Monthly", 4));
  // A mask of -1 holds every single bit, but never 0 or two bits at once.
  EXPECT_TRUE(authorizer.CheckAccess("SALES\\admin", "Pay.Monthly", 0x80000000u));
  EXPECT_FALSE(authorizer.CheckAccess("SALES\\admin", "Pay.Monthly", 0));
  EXPECT_FALSE(authorizer.CheckAccess("SALES\\admin", "Pay.Monthly", 3));
  EXPECT_FALSE(authorizer.CheckAccess("SALES\\admin", "No.Such.Object", 1));
  // The reserved forms answer false even where access is granted.
  EXPECT_FALSE(authorizer.CheckAccess("SALES\\bob", "Pay.Monthly", 4, "", ""));
  EXPECT_FALSE(authorizer.CheckAccess("Pay.Monthly", 4, "", ""));
  // The first form with the loaded-for user.
  EXPECT_TRUE(authorizer.CheckAccess("Pay.Monthly", 4));

  EXPECT_TRUE(authorizer.CheckRoleAccess("Writers", "Pay.Monthly", 2));
  EXPECT_FALSE(authorizer.CheckRoleAccess("Readers", "Pay.Monthly", 2));
  EXPECT_FALSE(authorizer.CheckRoleAccess("Writers", "Pay.Monthly", 6));
  EXPECT_FALSE(authorizer.CheckRoleAccess(nullptr, "Pay.Monthly", 2));
}

TEST(CheckAccess, NothingLoadedAnswersFalseWithoutTrailOrAudit) {
  AuthorizeEnv env;
  env.Start(Data());
  SetAuditSelector(1);
  CQRNAuthorize authorizer;
  EXPECT_FALSE(authorizer.CheckAccess("SALES\\admin", "Pay.Monthly", 1));
  EXPECT_FALSE(authorizer.CheckAccess("Pay.Monthly", 1));
  EXPECT_FALSE(authorizer.CheckRoleAccess("Admins", "Pay.Monthly", 1));
  EXPECT_TRUE(test::AuthorizationTrailRows().empty());
  EXPECT_EQ(env.secd->AuditLog(), "");
  // After a release the same holds.
  ASSERT_TRUE(authorizer.InitCache("SALES\\admin", 0));
  EXPECT_TRUE(authorizer.CheckAccess("SALES\\admin", "Pay.Monthly", 1));
  authorizer.ClearCache(QRN_CLEAR_CACHE);
  EXPECT_FALSE(authorizer.CheckAccess("SALES\\admin", "Pay.Monthly", 1));
}

TEST(CheckAccess, LoadedForOneCharacterChecksTheCurrentUser) {
  const std::string me = CurrentUser();
  AuthorizeEnv env;
  env.Start(Data(me));
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("x", 0));
  EXPECT_TRUE(authorizer.CheckAccess("Pay.Monthly", 1)) << me;
  EXPECT_TRUE(authorizer.CheckAccess(nullptr, "Pay.Monthly", 1));
  EXPECT_TRUE(authorizer.CheckAccess("", "Pay.Monthly", 1));
  EXPECT_FALSE(authorizer.CheckAccess("x", "Pay.Monthly", 1));
}

TEST(CheckAccess, OverlongUserNamesAreCutNotRefused) {
  AuthorizeEnv env;
  env.Start(Data());
  SetAuditSelector(1);
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", 0));
  const std::string name = "SALES\\" + std::string(3000, 'b');
  EXPECT_TRUE(authorizer.CheckAccess(name.c_str(), "Pay.Rates", 1));
  EXPECT_FALSE(authorizer.CheckAccess(name.c_str(), "Pay.Monthly", 4));
  // The audited user is the cut name, within the record's 256 bytes.
  const std::string log = env.secd->AuditLog();
  EXPECT_NE(log.find("bbbb"), std::string::npos);
  EXPECT_LT(log.size(), 2 * 600u);
}

// The audit log of qrnsecd, one JSON object per line.
int Records(const std::string& log, const std::string& status) {
  int n = 0;
  for (size_t at = log.find("\"Authorization\""); at != std::string::npos;
       at = log.find("\"Authorization\"", at + 1)) {
    const size_t end = log.find('\n', at);
    if (log.substr(at, end - at).find("\"" + status + "\"") != std::string::npos) ++n;
  }
  return n;
}

TEST(CheckAccess, AuditRecordsFollowTheSelector) {
  AuthorizeEnv env;
  env.Start(Data());
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", 0));

  SetAuditSelector(2);  // the default: no authorization records
  EXPECT_TRUE(authorizer.CheckAccess("SALES\\bob", "Pay.Monthly", 4));
  EXPECT_EQ(Records(env.secd->AuditLog(), "Success"), 0);

  for (int32_t selector : {1, 3}) {
    SetAuditSelector(selector);
    EXPECT_TRUE(authorizer.CheckAccess("SALES\\bob", "Pay.Monthly", 4));
    EXPECT_FALSE(authorizer.CheckAccess("SALES\\bob", "Pay.Monthly", 1));
  }
  const std::string log = env.secd->AuditLog();
  EXPECT_EQ(Records(log, "Success"), 2) << log;
  EXPECT_EQ(Records(log, "Failed"), 2) << log;
  EXPECT_NE(log.find("SALES\\\\bob"), std::string::npos) << log;

  SetAuditSelector(0);
  EXPECT_TRUE(authorizer.CheckAccess("SALES\\bob", "Pay.Monthly", 4));
  EXPECT_EQ(Records(env.secd->AuditLog(), "Success"), 2);
}

TEST(CheckAccess, LocalCacheModePostsNoAuditRecord) {
  AuthorizeEnv env;
  env.Start(Data(), {"\"UseServerADSI\"=" + test::RegDword(1)});
  const int port = env.secd->port();
  // Another process loads from the server and writes the cache files.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CQRNAuthorize loader;
    _exit(loader.InitCache("SALES\\bob", 0) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  env.secd->Stop();

  // This process finds the server down and works from the cache files.
  SetAuditSelector(1);
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", 0));
  // The server is back on its port; the decision for the process stands.
  test::SecdProcess again(env.data.File("data.json"),
                          {"--listen", "127.0.0.1:" + std::to_string(port)});
  ASSERT_EQ(again.port(), port);
  EXPECT_TRUE(authorizer.CheckAccess("SALES\\bob", "Pay.Monthly", 4));
  EXPECT_FALSE(authorizer.CheckAccess("SALES\\bob", "Pay.Monthly", 1));
  EXPECT_EQ(again.AuditLog(), "");
  // Nor is the server asked for its local groups.
  std::string domain;
  std::vector<std::string> groups;
  int count = 0;
  EXPECT_EQ(authorizer.GroupNames("SALES\\bob", domain, groups, count), S_OK);
  const std::string requests = again.RequestLog();
  EXPECT_NE(requests.find("Object=UserGroups"), std::string::npos) << requests;
  EXPECT_EQ(requests.find("Object=ServerLocalGroups"), std::string::npos) << requests;
}

TEST(CheckAccess, CliAnswersWithItsExitStatus) {
  AuthorizeEnv env;
  env.Start(Data());
  const std::vector<std::string> hives = {"QRNAUTH_MACHINE_HIVE=" + env.sandbox.machine_hive(),
                                          "QRNAUTH_USER_HIVE=" + env.sandbox.user_hive()};
  auto check = [&](const char* user, const char* object, const char* permission) {
    return test::RunProcess({test::CliPath(), "check", "--user", user, object, permission}, hives);
  };
  const test::ProcessResult granted = check("SALES\\bob", "Pay.Monthly", "0x4");
  EXPECT_EQ(granted.exit_code, 0) << granted.err;
  EXPECT_EQ(granted.out, "granted\n");
  const test::ProcessResult denied = check("SALES\\bob", "Pay.Monthly", "1");
  EXPECT_EQ(denied.exit_code, 1) << denied.err;
  EXPECT_EQ(denied.out, "denied\n");
  EXPECT_EQ(check("SALES\\bob", "Pay.Monthly", "-1").exit_code, 2);
  // Server down: the cache files written above answer; without them
  // nothing can be loaded.
  env.secd->Stop();
  EXPECT_EQ(check("SALES\\bob", "Pay.Monthly", "4").exit_code, 0);
  test::TempDir empty;
  const test::ProcessResult none =
      test::RunProcess({test::CliPath(), "check", "--user", "SALES\\bob", "Pay.Monthly", "4"},
                       {hives[0], hives[1], "TMPDIR=" + empty.path()});
  EXPECT_EQ(none.exit_code, 2) << none.out;
}

}  // namespace
}  // namespace qrn
