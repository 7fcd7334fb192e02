// The in-process credential check against the NTLM mechanism with a
// temporary user file: the four legs, the trail of a refusal, empty and
// Novell credentials, NT-hash entries and non-ASCII names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/sspi.h"
#include "qrnauth/qrnauthenticate.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace {

using namespace qrn::platform;

// NT hash (MD4 of the UTF-16LE password) of "secret".
constexpr char kSecretHash[] = "878D8014606CDA29677A44EFA1353FC7";

std::string Utf8(BSTR b) {
  std::string out;
  for (unsigned i = 0; b && i < SysStringLen(b); ++i) out += b[i] < 0x80 ? char(b[i]) : '?';
  return out;
}

struct TrailRow {
  std::string step, detail, source;
  LONG status = 0;
};

int TrailCount() {
  VARIANT* v = CQRNAuthenticate::GetLastMvtErrors();
  if (v->vt == VT_EMPTY) return 0;
  int n = 0;
  for (LONG i = 0; i < 6; ++i) {
    VARIANT cell;
    VariantInit(&cell);
    LONG index[2] = {i, 0};
    if (SafeArrayGetElement(v->parray, index, &cell) == S_OK && cell.vt == VT_BSTR) ++n;
    VariantClear(&cell);
  }
  return n;
}

TrailRow TrailEntry(LONG entry) {
  VARIANT* v = CQRNAuthenticate::GetLastMvtErrors();
  TrailRow row;
  std::string* texts[4] = {&row.step, nullptr, &row.detail, &row.source};
  for (LONG col = 0; col < 4; ++col) {
    VARIANT cell;
    VariantInit(&cell);
    LONG index[2] = {entry, col};
    EXPECT_EQ(SafeArrayGetElement(v->parray, index, &cell), S_OK);
    if (col == 1) {
      row.status = cell.lVal;
    } else {
      *texts[col] = Utf8(cell.bstrVal);
    }
    VariantClear(&cell);
  }
  return row;
}

class AuthenticateTest : public ::testing::Test {
 protected:
  // Plain-text entries, one domain-less; the mechanism reads the file on
  // every attempt and from the environment at its first use.
  void UseUserFile(const std::string& content) {
    std::string path = sandbox_.dir().File("ntlm_users");
    qrn::test::WriteFile(path, content);
    setenv("NTLM_USER_FILE", path.c_str(), 1);
  }
  void SetUp() override {
    UseUserFile("DOM:alice:secret\n:bob:pw\nDOM:j\xC3\xBCrgen:p\xC3\xA4sswort\n");
  }
  qrn::test::HiveSandbox sandbox_;
};

TEST_F(AuthenticateTest, RightWrongAndUnknownCredentials) {
  CQRNAuthenticate auth;
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));
  EXPECT_EQ(TrailCount(), 0);
  // Repeated checks on one object start a new conversation each time.
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));

  EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", "wrong"));
  ASSERT_EQ(TrailCount(), 1);
  TrailRow row = TrailEntry(0);
  EXPECT_EQ(row.step, "Accepting Security Context");
  EXPECT_EQ(row.detail, "Logon denied");
  EXPECT_EQ(row.status, SEC_E_LOGON_DENIED);
  EXPECT_EQ(row.source,
            "security/common/qrnauthenticate(1203):GenServerContext.AcceptSecurityContext");

  EXPECT_FALSE(auth.AuthenticateUser("DOM", "mallory", "secret"));
  ASSERT_EQ(TrailCount(), 2);
  EXPECT_EQ(TrailEntry(1).detail, "Logon denied");
  // A good check after failures still passes.
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));
}

TEST_F(AuthenticateTest, NullDomainAndDomainlessEntries) {
  CQRNAuthenticate auth;
  EXPECT_TRUE(auth.AuthenticateUser(nullptr, "bob", "pw"));
  EXPECT_TRUE(auth.AuthenticateUser("", "bob", "pw"));
  EXPECT_FALSE(auth.AuthenticateUser(nullptr, "bob", "nope"));
}

TEST_F(AuthenticateTest, EmptyCredentialsThenNamedOnes) {
  CQRNAuthenticate auth;
  EXPECT_TRUE(auth.AuthenticateUser(nullptr, "", nullptr));
  // The next named check is verified, not waved through as the current user.
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", "wrong"));
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));
}

TEST_F(AuthenticateTest, AuthenticateRechecksTheHeldCredentials) {
  CQRNAuthenticate auth;
  ASSERT_TRUE(auth.SetAuthenticationCredential("DOM", "alice", "secret"));
  EXPECT_TRUE(auth.Authenticate());
  ASSERT_TRUE(auth.SetAuthenticationCredential("DOM", "alice", "bad"));
  EXPECT_FALSE(auth.Authenticate());
  // The record is shared by every object of the process.
  CQRNAuthenticate other;
  other.SetAuthenticationCredential("DOM", "alice", "secret");
  EXPECT_TRUE(auth.Authenticate());
}

TEST_F(AuthenticateTest, OverlongTextsAreRefused) {
  CQRNAuthenticate auth;
  std::string long_text(256, 'a');
  EXPECT_FALSE(auth.SetAuthenticationCredential("DOM", long_text.c_str(), "x"));
  EXPECT_FALSE(auth.AuthenticateUser("DOM", long_text.c_str(), "secret"));
  EXPECT_FALSE(auth.AuthenticateUser(long_text.c_str(), "alice", "secret"));
  // A password is never cut into another one.
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", ("secret" + long_text).c_str()));
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));
}

TEST_F(AuthenticateTest, CredentialsWithoutUserNameAreDenied) {
  // The first account of the file is what the mechanism's default
  // credentials would pick; no password typed here must reach it.
  UseUserFile("TESTDOM:first:anything\nDOM:alice:secret\n");
  CQRNAuthenticate auth;
  EXPECT_FALSE(auth.AuthenticateUser("TESTDOM", "", "anything"));
  EXPECT_FALSE(auth.AuthenticateUser("", "", "x"));
  EXPECT_FALSE(auth.AuthenticateUser("TESTDOM", "", ""));
  EXPECT_FALSE(auth.AuthenticateUser(nullptr, nullptr, "anything"));
  // Held in the record, they are no better.
  ASSERT_TRUE(auth.SetAuthenticationCredential("NOSUCHDOMAIN", "", "zzz"));
  EXPECT_FALSE(auth.Authenticate());
  // All empty is the current user; a named check afterwards is verified.
  EXPECT_TRUE(auth.AuthenticateUser("", "", ""));
  EXPECT_TRUE(auth.AuthenticateUser("TESTDOM", "first", "anything"));
}

TEST_F(AuthenticateTest, RefusedCredentialsStayRefused) {
  CQRNAuthenticate auth, other;
  ASSERT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));
  const std::string long_password(256, 'p');
  EXPECT_FALSE(auth.SetAuthenticationCredential("DOM", "alice", long_password.c_str()));
  // The emptied record must not stand for the current user, for any object.
  EXPECT_FALSE(auth.Authenticate());
  EXPECT_FALSE(other.Authenticate());
  EXPECT_FALSE(auth.Authenticate());
  // New credentials lift the refusal.
  ASSERT_TRUE(other.SetAuthenticationCredential("DOM", "alice", "secret"));
  EXPECT_TRUE(auth.Authenticate());
  // A refused check leaves the record refused as well.
  EXPECT_FALSE(auth.AuthenticateUser("DOM", long_password.c_str(), "secret"));
  EXPECT_FALSE(other.Authenticate());
}

TEST_F(AuthenticateTest, NamesUpTo255Characters) {
  const std::string user200(200, 'u'), user255(255, 'v'), domain255(255, 'D');
  UseUserFile("DOM:" + user200 + ":pw200\n" + domain255 + ":" + user255 + ":pw255\n");
  CQRNAuthenticate auth;
  EXPECT_TRUE(auth.AuthenticateUser("DOM", user200.c_str(), "pw200"));
  EXPECT_FALSE(auth.AuthenticateUser("DOM", user200.c_str(), "wrong"));
  EXPECT_TRUE(auth.AuthenticateUser(domain255.c_str(), user255.c_str(), "pw255"));
  ASSERT_EQ(TrailCount(), 1);
  EXPECT_EQ(TrailEntry(0).detail, "Logon denied");  // the wrong password, not the name's length
}

TEST_F(AuthenticateTest, DomainMatchesExactlyUserWithoutRegardToCase) {
  // NTLMv2 keys on the upper-cased user name and the domain as spelled:
  // the account source's spelling of the domain counts.
  CQRNAuthenticate auth;
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "ALICE", "secret"));
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "Alice", "secret"));
  EXPECT_FALSE(auth.AuthenticateUser("dom", "alice", "secret"));
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", "SECRET"));
}

TEST_F(AuthenticateTest, UnknownUserWithoutDomainIsALogonFailure) {
  CQRNAuthenticate auth;
  EXPECT_FALSE(auth.AuthenticateUser("", "mallory", "x"));
  EXPECT_FALSE(auth.AuthenticateUser("OTHER", "alice", "secret"));
  ASSERT_EQ(TrailCount(), 2);
  EXPECT_EQ(TrailEntry(0).detail, "Logon denied");
  EXPECT_EQ(TrailEntry(1).detail, "Logon denied");
}

TEST_F(AuthenticateTest, UserFileThatIsNotARegularFileIsNeverRead) {
  std::string fifo = sandbox_.dir().File("users.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string folder = sandbox_.dir().File("users.d");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  for (const std::string& path : {fifo, folder}) {
    setenv("NTLM_USER_FILE", path.c_str(), 1);
    auto check = std::async(std::launch::async, [] {
      CQRNAuthenticate auth;
      return auth.AuthenticateUser("DOM", "alice", "secret");
    });
    if (check.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      // Let a check that hangs on the FIFO go, so the test can end.
      int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
      ADD_FAILURE() << path << ": the check waits on the user file";
    }
    EXPECT_FALSE(check.get()) << path;
  }
  EXPECT_EQ(TrailEntry(0).detail, "Logon denied");
}

TEST_F(AuthenticateTest, NtHashEntries) {
  UseUserFile(std::string("DOM\\alice:1000:XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX:") + kSecretHash +
              ":[U          ]:LCT-00000000:\n");
  CQRNAuthenticate auth;
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", "Secret"));
}

TEST_F(AuthenticateTest, NonAsciiUserUnderTheClassicLocale) {
  // The host keeps the "C" locale; the library's conversions must not care.
  setlocale(LC_ALL, "C");
  CQRNAuthenticate auth;
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "j\xC3\xBCrgen", "p\xC3\xA4sswort"));
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "j\xC3\xBCrgen", "passwort"));
}

TEST_F(AuthenticateTest, NovellClientVerifiesNoNamedCredentials) {
  qrn::platform::RegistryKey key;
  ASSERT_EQ(key.Create(RegHive::LocalMachine, "SOFTWARE\\Korvane\\MVT"), ERROR_SUCCESS);
  const char one[4] = {1, 0, 0, 0};
  ASSERT_EQ(key.SetRaw("NovellClient", REG_DWORD, one, 4), ERROR_SUCCESS);
  // A saved-identity block of this test alone (all zero: no operating-system user mark).
  std::string block = "/qrnauth-authtest-" + std::to_string(getpid());
  setenv("QRNAUTH_IDENTITY_NAME", block.c_str(), 1);
  CQRNAuthenticate auth;
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "alice", "secret"));
  EXPECT_TRUE(auth.AuthenticateUser("", "", ""));
  EXPECT_EQ(TrailCount(), 0);
  std::remove(("/dev/shm" + block).c_str());
}

TEST_F(AuthenticateTest, EveryAnswerIsAudited) {
  qrn::test::SecdProcess secd(qrn::test::SampleDataPath());
  qrn::platform::RegistryKey key;
  ASSERT_EQ(key.Create(RegHive::LocalMachine, "SOFTWARE\\Korvane\\MVT"), ERROR_SUCCESS);
  std::string url = secd.url() + std::string(1, '\0');
  ASSERT_EQ(key.SetRaw("URL", REG_SZ, url.data(), static_cast<uint32_t>(url.size())),
            ERROR_SUCCESS);
  CQRNAuthenticate auth;
  EXPECT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "carol", "secret"));
  EXPECT_TRUE(auth.AuthenticateUser("", "", ""));
  // Refused credentials are audited under the user that was tried.
  const std::string long_password(300, 'p');
  EXPECT_FALSE(auth.AuthenticateUser("DOM", "dave", long_password.c_str()));
  EXPECT_FALSE(auth.SetAuthenticationCredential("DOM", "erin", long_password.c_str()));
  EXPECT_FALSE(auth.Authenticate());
  EXPECT_FALSE(auth.AuthenticateUser("TESTDOM", "", "x"));
  EXPECT_FALSE(auth.AuthenticateUser("", "", long_password.c_str()));
  std::string log = secd.AuditLog();
  auto line = [&](int n) {
    size_t from = 0;
    for (int i = 0; i < n && from != std::string::npos; ++i) from = log.find('\n', from) + 1;
    return log.substr(from, log.find('\n', from) - from);
  };
  ASSERT_NE(log, "");
  EXPECT_NE(line(0).find("alice"), std::string::npos) << log;
  EXPECT_NE(line(0).find("\"Success\""), std::string::npos) << log;
  EXPECT_NE(line(0).find("\"Authentication\""), std::string::npos) << log;
  EXPECT_NE(line(1).find("carol"), std::string::npos) << log;
  EXPECT_NE(line(1).find("\"Failed\""), std::string::npos) << log;
  // Empty credentials name the current operating-system user.
  char domain[256], user[256];
  ASSERT_TRUE(CQRNAuthenticate::GetCurrentUserInfo(domain, user));
  EXPECT_NE(line(2).find(user), std::string::npos) << log;
  EXPECT_NE(line(2).find("\"Success\""), std::string::npos) << log;
  const std::string own = std::string(domain) + "\\\\" + user;  // as JSON writes it
  for (int n : {3, 4, 5, 6}) {
    EXPECT_NE(line(n).find("\"Failed\""), std::string::npos) << log;
    EXPECT_EQ(line(n).find(own), std::string::npos) << log;
  }
  EXPECT_NE(line(3).find("DOM\\\\dave"), std::string::npos) << log;
  EXPECT_NE(line(4).find("DOM\\\\erin"), std::string::npos) << log;
  EXPECT_NE(line(5).find("TESTDOM\\\\\""), std::string::npos) << log;
  EXPECT_NE(line(6).find("\"user\":\"\\\\\""), std::string::npos) << log;
}

TEST_F(AuthenticateTest, LoginCommand) {
  std::vector<std::string> env = {"NTLM_USER_FILE=" + sandbox_.dir().File("ntlm_users")};
  auto run = [&](std::vector<std::string> args, const std::string& input) {
    args.insert(args.begin(), qrn::test::CliPath());
    return qrn::test::RunProcess(args, env, input);
  };
  auto ok = run({"login", "--domain", "DOM", "--user", "alice"}, "secret\n");
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
  EXPECT_EQ(ok.out, "authenticated\n");
  auto denied = run({"login", "--domain", "DOM", "--user", "alice", "--auth-trail"}, "nope\n");
  EXPECT_EQ(denied.exit_code, 1);
  EXPECT_EQ(denied.out.rfind("denied\n", 0), 0u);
  EXPECT_NE(denied.out.find("Logon denied"), std::string::npos);
  EXPECT_EQ(run({"login", "--domain", "DOM"}, "x\n").exit_code, 2);  // --user is required

  // An empty user with a password is nobody: denied, and nothing is saved.
  auto nameless = run({"login", "--domain", "NOSUCHDOMAIN", "--user", "", "--save"}, "zzz\n");
  EXPECT_EQ(nameless.exit_code, 1) << nameless.err;
  EXPECT_EQ(nameless.out, "denied\n");
  // The password line is bounded: 255 bytes pass, more is an error, and
  // input without a line end is not read to its end.
  EXPECT_EQ(
      run({"login", "--domain", "DOM", "--user", "alice"}, std::string(255, 'p') + "\r\n").out,
      "denied\n");
  auto endless = run({"login", "--domain", "DOM", "--user", "alice"}, std::string(1 << 20, 'p'));
  EXPECT_EQ(endless.exit_code, 2);
  EXPECT_NE(endless.err.find("longer than 255 bytes"), std::string::npos) << endless.err;
  EXPECT_EQ(endless.out, "");
}

}  // namespace
