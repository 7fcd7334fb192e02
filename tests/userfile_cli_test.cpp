// qrnauth userfile hash: plain-text entries of the NTLM user file rewritten
// into the NT-hash form and then checked by the mechanism itself, the file's
// mode and the refusals; and qrnauth login's warning about plain-text files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace {

using qrn::test::ProcessResult;

// NT hash (MD4 of the UTF-16LE password) of "secret", as written by hand.
constexpr char kSecretEntry[] =
    "DOM\\carol:1000:XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX:878D8014606CDA29677A44EFA1353FC7:"
    "[U          ]:LCT-00000000:";

class UserFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content, mode_t mode = 0600) {
    std::string path = sandbox_.dir().File(name);
    qrn::test::WriteFile(path, content);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }
  ProcessResult Hash(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {qrn::test::CliPath(), "userfile", "hash"};
    argv.insert(argv.end(), args.begin(), args.end());
    return qrn::test::RunProcess(argv, env, "", 30);
  }
  ProcessResult Login(const std::string& file, const std::string& domain, const std::string& user,
                      const std::string& password) {
    return qrn::test::RunProcess(
        {qrn::test::CliPath(), "login", "--domain", domain, "--user", user},
        {"NTLM_USER_FILE=" + file}, password + "\n", 30);
  }
  static mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
  }
  qrn::test::HiveSandbox sandbox_;
};

TEST_F(UserFileTest, RewrittenEntriesCheckTheSamePasswords) {
  const std::string original = std::string("# staff\n") +
                               "DOM:alice:secret\n"
                               ":bob:pw\r\n"
                               "\n" +
                               kSecretEntry +
                               "\n"
                               "DOM:j\xC3\xBCrgen:p\xC3\xA4sswort\n"
                               "DOM:dave:pa:ss\n"
                               "DOM:erin:last";
  std::string path = Write("users", original, 0400);  // the mode is kept, even read-only

  // Plain text: the checks pass, with a warning.
  ProcessResult before = Login(path, "DOM", "alice", "secret");
  EXPECT_EQ(before.out, "authenticated\n") << before.err;
  EXPECT_NE(before.err.find("holds 4 plain-text password entries"), std::string::npos)
      << before.err;

  ProcessResult hashed = Hash({path});
  ASSERT_EQ(hashed.exit_code, 0) << hashed.err;
  EXPECT_EQ(hashed.out, "rewrote 4 plain-text entries of " + path + "\n");
  EXPECT_EQ(ModeOf(path), 0400u);

  std::string now = qrn::test::ReadFile(path);
  EXPECT_EQ(now.find("secret"), std::string::npos) << now;
  EXPECT_EQ(now.find("pw"), std::string::npos) << now;
  // Comments, blank lines, line endings, NT-hash entries and lines that are
  // no entry stay byte for byte.
  EXPECT_EQ(now.rfind("# staff\nDOM\\alice:0:", 0), 0u) << now;
  EXPECT_NE(now.find("\r\n\n" + std::string(kSecretEntry) + "\n"), std::string::npos) << now;
  EXPECT_NE(now.find("\nDOM:dave:pa:ss\n"), std::string::npos) << now;
  EXPECT_NE(now.find("\nbob:0:"), std::string::npos) << now;
  EXPECT_EQ(now.back(), ':');  // the last line had no line end and gets none

  // The mechanism reads the new entries: right passwords pass, wrong ones
  // fail, and the warning is gone.
  struct Case {
    const char *domain, *user, *password;
    bool ok;
  };
  const Case cases[] = {
      {"DOM", "alice", "secret", true},
      {"DOM", "alice", "Secret", false},
      {"", "bob", "pw", true},
      {"DOM", "j\xC3\xBCrgen", "p\xC3\xA4sswort", true},
      {"DOM", "j\xC3\xBCrgen", "passwort", false},
      {"DOM", "carol", "secret", true},
      {"DOM", "erin", "last", true},
  };
  for (const Case& c : cases) {
    ProcessResult after = Login(path, c.domain, c.user, c.password);
    EXPECT_EQ(after.out, c.ok ? "authenticated\n" : "denied\n") << c.user << " " << after.err;
    EXPECT_EQ(after.err.find("plain-text"), std::string::npos) << after.err;
  }

  // A second run finds nothing to do and leaves the file alone.
  ProcessResult again = Hash({}, {"NTLM_USER_FILE=" + path});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(again.out, "rewrote 0 plain-text entries of " + path + "\n");
  EXPECT_EQ(qrn::test::ReadFile(path), now);
}

TEST_F(UserFileTest, RefusesFilesItMustNotTouch) {
  const std::string content = "DOM:alice:secret\n";
  auto refused = [&](const std::string& path, const std::string& why) {
    ProcessResult r = Hash({path});
    EXPECT_EQ(r.exit_code, 2) << path;
    EXPECT_EQ(r.out, "") << path;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
  };
  // Others may read it: the passwords are out already; the file stays as is.
  std::string shared = Write("shared", content, 0644);
  refused(shared, "mode 0644");
  EXPECT_EQ(qrn::test::ReadFile(shared), content);
  refused(Write("group", content, 0640), "mode 0640");

  std::string fifo = sandbox_.dir().File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  refused(fifo, "not a regular file");

  std::string target = Write("target", content);
  std::string link = sandbox_.dir().File("link");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  refused(link, "link");
  EXPECT_EQ(qrn::test::ReadFile(target), content);

  // A password without an NT hash (not UTF-8) stops the whole rewrite.
  std::string latin1 = Write("latin1", "DOM:alice:secret\nDOM:bob:p\xE4ss\n");
  refused(latin1, "line 2");
  EXPECT_EQ(qrn::test::ReadFile(latin1), "DOM:alice:secret\nDOM:bob:p\xE4ss\n");

  // No file named and none in the environment: a usage error.
  ProcessResult unnamed = qrn::test::RunProcess(
      {"/usr/bin/env", "-u", "NTLM_USER_FILE", qrn::test::CliPath(), "userfile", "hash"}, {}, "",
      30);
  EXPECT_EQ(unnamed.exit_code, 2);
  EXPECT_NE(unnamed.err.find("NTLM_USER_FILE"), std::string::npos) << unnamed.err;

  ProcessResult help = Hash({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("usage: qrnauth userfile hash [FILE]"), std::string::npos) << help.out;
}

TEST_F(UserFileTest, LoginWarnsOnlyAboutPlainTextFiles) {
  std::string hashed = Write("hashed", std::string("# only hashes\n") + kSecretEntry + "\n");
  ProcessResult quiet = Login(hashed, "DOM", "carol", "wrong");
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_EQ(quiet.err, "");

  // The warning does not change the answer or the exit status.
  std::string plain = Write("plain", "DOM:alice:secret\n");
  ProcessResult denied = Login(plain, "DOM", "alice", "wrong");
  EXPECT_EQ(denied.exit_code, 1);
  EXPECT_EQ(denied.out, "denied\n");
  EXPECT_NE(denied.err.find("holds 1 plain-text password entry;"), std::string::npos) << denied.err;
  EXPECT_EQ(std::count(denied.err.begin(), denied.err.end(), '\n'), 1) << denied.err;
}

}  // namespace
