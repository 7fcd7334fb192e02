// The saved identity between processes: a named identity saved after a
// check, the operating-system user mark, the empty block, the process
// record a read leaves behind, and the qrnauth login --save / identity pair.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/auth_credentials.h"
#include "security/common/qrnauthenticate/identity_block.h"
#include "tests/support/test_env.h"

namespace {

class SavedIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string users = sandbox_.dir().File("ntlm_users");
    qrn::test::WriteFile(users, "DOM:alice:secret\nDOM:bo:pw\n");
    setenv("NTLM_USER_FILE", users.c_str(), 1);
    block_ = "/qrnauth-saved-test-" + std::to_string(getpid());
    shm_unlink(block_.c_str());
    setenv("QRNAUTH_IDENTITY_NAME", block_.c_str(), 1);
  }
  void TearDown() override { shm_unlink(block_.c_str()); }

  // Runs `work` in a child process that starts from this one's state and
  // returns its exit code. The parent touches neither the provider nor the
  // block before, so whatever it reads afterwards came through the block.
  static int InChild(const std::function<int()>& work) {
    const pid_t child = fork();
    if (child == 0) _exit(work());
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  qrn::test::HiveSandbox sandbox_;
  std::string block_;
};

// The reader held a longer explicit identity: after the read, texts and
// lengths agree, so the provider cannot read "bo" plus the tail of "alice".
TEST_F(SavedIdentityTest, NamedIdentityReachesAnotherProcess) {
  ASSERT_EQ(InChild([] {
              CQRNAuthenticate auth;
              return auth.AuthenticateUser("DOM", "bo", "pw") && auth.SaveIdentity() ? 0 : 1;
            }),
            0);
  CQRNAuthenticate reader;
  ASSERT_TRUE(reader.SetAuthenticationCredential("DOMAIN", "alice", "secret"));
  char domain[256], user[256];
  ASSERT_TRUE(reader.GetAuthenticatedIdentity(domain, user));
  EXPECT_STREQ(domain, "DOM");
  EXPECT_STREQ(user, "bo");
  const qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
  EXPECT_EQ(record.identity.UserLength, 2u);
  EXPECT_EQ(record.identity.PasswordLength, 2u);
  EXPECT_EQ(record.identity.DomainLength, 3u);
  // The password came along, so a check with the held credentials passes.
  EXPECT_TRUE(reader.Authenticate());
}

TEST_F(SavedIdentityTest, EmptyCredentialsSaveEachProcessItsOwnUser) {
  ASSERT_EQ(InChild([] {
              CQRNAuthenticate auth;
              auth.AuthenticateUser("DOM", "alice", "secret");
              auth.SaveIdentity();
              return auth.AuthenticateUser("", "", "") && auth.SaveIdentity() ? 0 : 1;
            }),
            0);
  char own_domain[256], own_user[256], domain[256], user[256];
  ASSERT_TRUE(CQRNAuthenticate::GetCurrentUserInfo(own_domain, own_user));
  CQRNAuthenticate reader;
  ASSERT_TRUE(reader.GetAuthenticatedIdentity(domain, user));
  EXPECT_STREQ(domain, own_domain);
  EXPECT_STREQ(user, own_user);
}

TEST_F(SavedIdentityTest, EmptyBlockIsNoIdentity) {
  char domain[256] = "untouched", user[256] = "untouched";
  CQRNAuthenticate reader;
  EXPECT_FALSE(reader.GetAuthenticatedIdentity(domain, user));
  EXPECT_STREQ(user, "untouched");
  // Not for an object whose latest credentials were empty either.
  CQRNAuthenticate current;
  ASSERT_TRUE(current.AuthenticateUser("", "", ""));
  EXPECT_FALSE(current.GetAuthenticatedIdentity(domain, user));
}

// The CLI pair, each command a process of its own.
TEST_F(SavedIdentityTest, LoginSaveAndIdentityThroughTheCli) {
  using qrn::test::CliPath;
  using qrn::test::RunProcess;
  auto identity = [] { return RunProcess({CliPath(), "identity"}); };

  qrn::test::ProcessResult none = identity();
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_EQ(none.out, "none\n");

  // A denied login saves nothing.
  EXPECT_EQ(RunProcess({CliPath(), "login", "--domain", "DOM", "--user", "alice", "--save"}, {},
                       "wrong\n")
                .exit_code,
            1);
  EXPECT_EQ(identity().out, "none\n");

  qrn::test::ProcessResult login = RunProcess(
      {CliPath(), "login", "--domain", "DOM", "--user", "alice", "--save"}, {}, "secret\n");
  EXPECT_EQ(login.exit_code, 0) << login.err;
  EXPECT_EQ(login.out, "authenticated\n");
  qrn::test::ProcessResult named = identity();
  EXPECT_EQ(named.exit_code, 0);
  EXPECT_EQ(named.out, "DOM\\alice\n");

  EXPECT_EQ(RunProcess({CliPath(), "login", "--user=", "--save"}, {}, "\n").exit_code, 0);
  qrn::test::ProcessResult own = identity();
  EXPECT_EQ(own.exit_code, 0);
  EXPECT_EQ(own.out, "operating-system user\n");
}

}  // namespace
