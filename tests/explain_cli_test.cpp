// qrnauth check --explain against a real qrnsecd: what the check used is
// printed after its answer, from the check itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/authorize_env.h"

namespace qrn {
namespace {

using test::AuthorizeEnv;
using test::RegDword;

// bob holds Operators through the server-resolved group SALES\Operators and
// Direct as a user member; eve holds Guests only; the object's ACL names
// Direct before Operators.
const char kData[] =
    R"({"format": 1, "timestamp": "12/01/2026 10:00:00 AM", "localGroupsLevel": 0, "roles": [
  {"id": "{00000000-0000-4000-8000-000000000001}", "name": "Operators", "groups": ["SALES\\Operators"]},
  {"id": "{00000000-0000-4000-8000-000000000002}", "name": "Direct", "users": ["SALES\\bob"]},
  {"id": "{00000000-0000-4000-8000-000000000003}", "name": "Auditors", "groups": ["SALES\\Audit"]}],
  "acls": {"Pay.Monthly": "Direct:1;Operators:6;Guests:7"},
  "userGroups": {"SALES\\bob": ["SALES/Operators"], "SALES\\eve": ["SALES/Staff"]}})";

class ExplainCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.Start(kData, {"\"NTGroupSupport\"=" + RegDword(1), "\"UseServerADSI\"=" + RegDword(1)});
  }
  test::ProcessResult Check(const std::string& user, const std::string& permission) {
    return test::RunProcess(
        {test::CliPath(), "check", "--explain", "--user", user, "Pay.Monthly", permission},
        {"QRNAUTH_MACHINE_HIVE=" + env_.sandbox.machine_hive(),
         "QRNAUTH_USER_HIVE=" + env_.sandbox.user_hive(), "TMPDIR=" + env_.sandbox.temp_folder()});
  }
  AuthorizeEnv env_;
};

TEST_F(ExplainCliTest, GrantThroughAGroupNamesTheGroupAndTheDecidingEntry) {
  const test::ProcessResult result = Check("SALES\\bob", "4");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "granted\n"
            "groups (server):\n"
            "  Everyone\n"
            "  SALES\\Operators\n"
            "roles:\n"
            "  Operators  (group SALES\\Operators)\n"
            "  Direct  (user SALES\\bob)\n"
            "acl:\n"
            "  Direct:1\n"
            "  Operators:6\n"
            "  Guests:7\n"
            "lookups:\n"
            "  Operators: Operators:6 allows (decides)\n");
}

TEST_F(ExplainCliTest, DenyListsEveryLookupThatDenied) {
  const test::ProcessResult result = Check("SALES\\bob", "0x10");
  EXPECT_EQ(result.exit_code, 1) << result.err;
  const std::string tail =
      "lookups:\n"
      "  Operators: Operators:6 denies\n"
      "  Direct: Direct:1 denies\n";
  ASSERT_GE(result.out.size(), tail.size()) << result.out;
  EXPECT_EQ(result.out.rfind("denied\n", 0), 0u) << result.out;
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail) << result.out;
}

TEST_F(ExplainCliTest, UserWithoutRolesHasGroupsButNoLookups) {
  const test::ProcessResult result = Check("SALES\\eve", "1");
  EXPECT_EQ(result.exit_code, 1) << result.err;
  EXPECT_EQ(result.out,
            "denied\n"
            "groups (server):\n"
            "  Everyone\n"
            "  SALES\\Staff\n"
            "roles:\n"
            "  (none)\n"
            "acl:\n"
            "  (none)\n"
            "lookups:\n"
            "  (none)\n");
}

}  // namespace
}  // namespace qrn
