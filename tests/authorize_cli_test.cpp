// qrnauth load, refresh, apps, id and whoami against a real qrnsecd.
#include "tests/authorize_fixture.h"

namespace qrn::test {
namespace {

class AuthorizeCliTest : public AuthorizeFixture {
 protected:
  void SetUp() override {
    WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll", "Stock"}));
    StartServer();
  }
};

TEST_F(AuthorizeCliTest, LoadRefreshAndTheDirectory) {
  ProcessResult load = Cli({"load", "--user", "SALES\\bob"});
  EXPECT_EQ(load.exit_code, 0) << load.err;
  EXPECT_EQ(load.out,
            "source: server\ntimestamp: 12/01/2026 10:00:00 AM\napplications: 2\nroles: 2\n");

  ProcessResult refresh = Cli({"refresh", "--trail"});
  EXPECT_EQ(refresh.exit_code, 0) << refresh.err;
  EXPECT_EQ(refresh.out.rfind("refreshed: no\nsource: cache\n", 0), 0u) << refresh.out;
  EXPECT_NE(refresh.out.find("Local Cache is updated"), std::string::npos) << refresh.out;

  ProcessResult apps = Cli({"apps"});
  EXPECT_EQ(apps.exit_code, 0) << apps.err;
  EXPECT_EQ(apps.out,
            "Payroll  QRN00000000-1111-4111-8111-000000000000\n"
            "  Main  QRN00000000-2222-4222-8222-000000000000\n"
            "    Payroll.Item  QRN00000000-3333-4333-8333-000000000000\n"
            "Stock  QRN00000001-1111-4111-8111-000000000001\n"
            "  Main  QRN00000001-2222-4222-8222-000000000001\n"
            "    Stock.Item  QRN00000001-3333-4333-8333-000000000001\n");

  ProcessResult id = Cli({"id", "stock", "MAIN", "stock.item"});
  EXPECT_EQ(id.exit_code, 0);
  EXPECT_EQ(id.out, "QRN00000001-3333-4333-8333-000000000001\n");
  ProcessResult missing = Cli({"id", "Stock", "Nowhere"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.out, "not found\n");
  EXPECT_EQ(Cli({"id"}).exit_code, 2);  // APP is required
}

TEST_F(AuthorizeCliTest, DirectoryCommandsFailWithoutData) {
  StopServer();
  ProcessResult apps = Cli({"apps"});
  EXPECT_EQ(apps.exit_code, 2);
  EXPECT_NE(apps.err.find("could not be loaded"), std::string::npos) << apps.err;
  EXPECT_EQ(Cli({"load"}).exit_code, 1);

  ProcessResult whoami = Cli({"whoami"});
  EXPECT_EQ(whoami.exit_code, 0);
  EXPECT_EQ(whoami.out.rfind("current: ", 0), 0u) << whoami.out;
  EXPECT_NE(whoami.out.find("\\"), std::string::npos) << whoami.out;
}

}  // namespace
}  // namespace qrn::test
