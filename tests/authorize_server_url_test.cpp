// InitCache without arguments repairs a security page URL that moved from
// ".aspx" back to ".asp", but never for this computer.
#include "frame/config.h"
#include "platform/registry.h"
#include "tests/authorize_fixture.h"

namespace qrn::test {
namespace {

class ServerUrlTest : public AuthorizeFixture {
 protected:
  void SetUp() override {
    WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll"}));
    secd_ = std::make_unique<SecdProcess>(DataFile(),
                                          std::vector<std::string>{"--page", "/mvt/security.asp"});
  }
  std::string StoredUrl() const {
    std::string url;
    ReadStringValue(platform::RegHive::LocalMachine, kConfigKey, "URL", 1024, &url);
    return url;
  }
  std::string KnownUrl() const {
    char url[1024] = {};
    uint32_t size = sizeof url;
    GetAuthUrl(url, &size);
    return url;
  }
};

TEST_F(ServerUrlTest, AnAspxPageThatDoesNotAnswerFallsBackToAsp) {
  const std::string asp = secd_->url();
  UseUrl(asp + "x");
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache());
  EXPECT_EQ(StoredUrl(), asp);
  EXPECT_EQ(KnownUrl(), asp);
  // The bare page was asked for first, then the load used the new URL.
  EXPECT_EQ(secd_->RequestLog().substr(0, 1), "\n");
  EXPECT_NE(secd_->RequestLog().find("Object=MvtSecData"), std::string::npos);
}

TEST_F(ServerUrlTest, NothingIsTriedForLocalhostOrAPageThatAnswers) {
  const std::string asp = secd_->url();
  const std::string local =
      "http://localhost:" + std::to_string(secd_->port()) + "/mvt/security.aspx";
  UseUrl(local);
  CQRNAuthorize authorizer;
  EXPECT_FALSE(authorizer.InitCache());  // the .aspx page is not there, no cache files
  EXPECT_EQ(StoredUrl(), local);
  EXPECT_EQ(secd_->RequestLog(), "");
}

TEST_F(ServerUrlTest, APageWithoutAspxIsLeftAlone) {
  const std::string other = "http://127.0.0.1:" + std::to_string(secd_->port()) + "/mvt/other.php";
  UseUrl(other);
  CQRNAuthorize authorizer;
  EXPECT_FALSE(authorizer.InitCache());
  EXPECT_EQ(StoredUrl(), other);
  EXPECT_EQ(KnownUrl(), other);
}

}  // namespace
}  // namespace qrn::test
