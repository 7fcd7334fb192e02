// qrnauth post: the answer printed exactly, the exit codes, and an identity
// saved by "qrnauth login --save" in one process carried by the post of
// another.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "tests/support/http_responder.h"
#include "tests/support/test_env.h"

namespace {

using qrn::test::HttpReply;
using qrn::test::HttpRequest;
using qrn::test::RunProcess;

class PostCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    users_ = sandbox_.dir().File("ntlm_users");
    qrn::test::WriteFile(users_, "DOM:alice:secret\n");
    block_ = "/qrnauth-post-cli-" + std::to_string(getpid());
    shm_unlink(block_.c_str());
  }
  void TearDown() override { shm_unlink(block_.c_str()); }

  qrn::test::ProcessResult Cli(const std::vector<std::string>& words,
                               const std::string& input = "") {
    std::vector<std::string> argv = {qrn::test::CliPath()};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunProcess(argv, {"QRNAUTH_IDENTITY_NAME=" + block_, "NTLM_USER_FILE=" + users_}, input,
                      30);
  }

  qrn::test::HiveSandbox sandbox_;
  std::string users_, block_;
};

TEST_F(PostCliTest, PrintsTheAnswerAsItIs) {
  qrn::test::HttpResponder server([](const HttpRequest& r) {
    if (r.target == "/missing") return HttpReply{404, "not here", {}, false};
    return HttpReply{200, "got " + std::to_string(r.body.size()) + "\r\nbytes", {}, false};
  });
  auto ok = Cli({"post", server.url("/form"), "a=1&b=2"});
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
  EXPECT_EQ(ok.out, "got 8\nbytes");
  auto missing = Cli({"post", server.url("/missing")});
  EXPECT_EQ(missing.exit_code, 0);
  EXPECT_EQ(missing.out, "404");
  auto ftp = Cli({"post", "ftp://127.0.0.1/x"});
  EXPECT_EQ(ftp.exit_code, 1);
  EXPECT_EQ(ftp.out, "");
  EXPECT_EQ(Cli({"post"}).exit_code, 2);
  EXPECT_EQ(Cli({"post", "a", "b", "c"}).exit_code, 2);
  auto help = Cli({"post", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("usage: qrnauth post URL [FORMDATA]"), std::string::npos);
}

TEST_F(PostCliTest, CarriesTheIdentitySavedByAnotherProcess) {
  qrn::test::HttpResponder server([](const HttpRequest& r) {
    const std::string auth = r.Header("Authorization");
    if (auth.empty()) return HttpReply{401, "", {"WWW-Authenticate: Basic realm=\"mvt\""}, false};
    return HttpReply{200, auth, {}, false};
  });
  EXPECT_EQ(Cli({"post", server.url()}).out, "401");
  auto login = Cli({"login", "--domain", "DOM", "--user", "alice", "--save"}, "secret\n");
  ASSERT_EQ(login.exit_code, 0) << login.out << login.err;
  // "DOM\alice:secret" in Basic form.
  EXPECT_EQ(Cli({"post", server.url()}).out, "Basic RE9NXGFsaWNlOnNlY3JldA==");
  // Saving the operating-system user takes the credentials away again.
  ASSERT_EQ(Cli({"login", "--user", "", "--save"}, "\n").exit_code, 0);
  EXPECT_EQ(Cli({"post", server.url()}).out, "401");
}

}  // namespace
