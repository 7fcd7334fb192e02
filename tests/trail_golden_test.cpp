// The authorization trail of whole operations, row by row (step, status,
// detail, source): the texts every reporting step writes stay as they are.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "qrnauth/qrnauthorize.h"
#include "tests/support/authorize_env.h"

namespace qrn {
namespace {

using test::AuthorizeEnv;
using test::RegDword;

const char kData[] =
    R"({"format": 1, "timestamp": "12/01/2026 10:00:00 AM", "localGroupsLevel": 0, "roles": [
  {"id": "{00000000-0000-4000-8000-000000000001}", "name": "Operators", "groups": ["SALES\\Operators"]}],
  "acls": {"Pay.Monthly": "Operators:7"}})";

std::string Rows() {
  std::string text;
  for (const test::TrailRow& row : test::AuthorizationTrailRows())
    text += row.source + " | " + row.step + " | " + std::to_string(row.status) + " | " +
            row.detail + "\n";
  return text;
}

// Up to date, then changed data: the refresh's rows; then a user the
// directory of this computer does not know, resolved without the server.
TEST(TrailGolden, RefreshAndDirectoryResolution) {
  setenv("LDAPNOINIT", "1", 1);
  AuthorizeEnv env;
  env.Start(kData, {"\"NTGroupSupport\"=" + RegDword(1)});
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\carol", 0));
  bool refreshed = true;
  ASSERT_TRUE(authorizer.RefreshCache(refreshed, 0));
  EXPECT_FALSE(refreshed);
  std::vector<CQRNRole*>* roles = nullptr;
  authorizer.GetUserRolesFromCache("NOWHERE\\nobody", &roles);
  EXPECT_EQ(Rows(),
            "security/common/qrncache(508):InitCache.QrnGetCacheFlag.QrnCheckServerAvailability"
            " | Checking if MVT Server is available | 0"
            " | MVT Security Server is available so local Cache would not be used\n"
            "security/common/qrncache(508):InitCache.QrnGetCacheFlag.QrnCheckServerAvailability"
            " | Checking if MVT Server is available | 0"
            " | MVT Security Server is available so local Cache would not be used\n"
            "security/common/qrnauthorize(1922):RefreshCache.[CompareTimestamp]"
            " | Checking if Local Cache is updated | 1 | Local Cache is updated\n"
            "security/common/qrnauthorize(616):"
            "InitCache.GetUserRolesFromCache.GroupNames.GetGlobalGroups.ADsGetObject"
            " | Getting the ADS Object for WinNT://NOWHERE/nobody,user | -2147022675"
            " | Failed, Cannot get NT Domain groups for the user.\n"
            "security/common/qrnauthorize(3955):InitCache.GetUserRolesFromCache.GroupNames"
            " | Retrieving the groups | 1 | Cannot get the groups\n");
}

// No server and no cache files: the load fails.
TEST(TrailGolden, LoadWithoutServerOrCache) {
  AuthorizeEnv env;
  env.Start(kData);
  env.secd->Stop();
  CQRNAuthorize authorizer;
  EXPECT_FALSE(authorizer.InitCache("SALES\\carol", 0));
  EXPECT_EQ(Rows(),
            "security/common/qrncache(514):InitCache.QrnGetCacheFlag.QrnCheckServerAvailability"
            " | Checking if MVT Server is available | 1"
            " | MVT Security Server not available so local Cache would be used\n"
            "security/common/qrnauthorize(1765):InitCache.QrnCheckCachedFiles"
            " | Test for Local Cache | -2147418113"
            " | Local Cache Files are corrupted or deleted\n");
}

}  // namespace
}  // namespace qrn
