// The audit record against a real qrnsecd: what reaches the audit log, the
// user text canonicalised in the request, and nothing sent while the local
// cache is in use.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "frame/config.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "security/common/audit_record.h"
#include "security/common/qrncache.h"
#include "tests/support/http_responder.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

using platform::RegHive;
using platform::RegistryKey;

void SetUrl(const std::string& url) {
  RegistryKey key;
  ASSERT_EQ(key.Create(RegHive::LocalMachine, kConfigKey), platform::ERROR_SUCCESS);
  ASSERT_EQ(key.SetString("URL", url), platform::ERROR_SUCCESS);
}

class AuditRecord : public ::testing::Test {
 protected:
  test::HiveSandbox sandbox_;
};

TEST_F(AuditRecord, WritePostsTheFieldsWhileTheServerIsUsed) {
  test::SecdProcess secd(test::SampleDataPath());
  SetUrl(secd.url());
  CQRNLog record;
  EXPECT_STREQ(record.serverUrl, secd.url().c_str());
  EXPECT_STREQ(record.user, "");
  // Blanks, "&" and "=" in the user cannot add or change parameters.
  record.SetUser("SALES\\bob & co=1");
  record.SetAction(CQRNLog::kAuthorization);
  record.SetStatus(CQRNLog::kFailed);
  record.Write();

  std::string computer;
  ASSERT_TRUE(platform::ComputerName(&computer));
  EXPECT_NE(secd.AuditLog().find("\"user\":\"SALES\\\\bob & co=1\",\"action\":\"Authorization\","
                                 "\"status\":\"Failed\",\"computer\":\"" +
                                 computer + "\"}"),
            std::string::npos)
      << secd.AuditLog();
  EXPECT_NE(secd.RequestLog().find("Object=Log&Operation=Add&User=SALES%5Cbob%20%26%20co%3D1"
                                   "&Action=Authorization&Status=Failed&Computer=" +
                                   computer + "\n"),
            std::string::npos)
      << secd.RequestLog();

  // Send posts whatever the decision; one line per record.
  CQRNLog second;
  second.SetUser("bob");
  second.SetAction(CQRNLog::kAuthentication);
  second.SetStatus(CQRNLog::kSuccess);
  EXPECT_TRUE(second.Send());
  const std::string log = secd.AuditLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_NE(log.find("\"user\":\"bob\",\"action\":\"Authentication\",\"status\":\"Success\""),
            std::string::npos);
}

TEST_F(AuditRecord, LocalCacheModeSendsNothing) {
  // The server fails the combined request, so the local cache is used.
  test::HttpResponder responder(test::HttpReply{500, "<html>error</html>", {}, false});
  SetUrl(responder.url("/mvt/security.aspx"));
  CQRNLog record;
  record.SetUser("bob");
  record.SetAction(CQRNLog::kAuthorization);
  record.SetStatus(CQRNLog::kSuccess);
  record.Write();
  int16_t flag = 0;
  ASSERT_EQ(QrnGetCacheFlag(&flag, nullptr), S_OK);
  EXPECT_EQ(flag, -1);
  ASSERT_EQ(responder.requests().size(), 1u);
  EXPECT_NE(responder.requests()[0].target.find("Object=MvtSecData"), std::string::npos);
}

}  // namespace
}  // namespace qrn
