// Using an authenticated identity: a thread impersonating the client while
// the others keep theirs, the saved identity read by another process in the
// identifier form, and a proxy's security blanket set from the saved
// identity.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "qrnauth/com.h"
#include "qrnauth/proxy_security.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/identity_block.h"
#include "security/common/qrnauthenticate/identity_sid.h"
#include "tests/support/nss_wrapper.h"
#include "tests/support/test_env.h"

namespace {

constexpr char kPasswd[] =
    "root:x:0:0::/root:/bin/sh\n"
    "alice:x:4242:4300::/home/alice:/bin/sh\n";
constexpr char kGroups[] =
    "root:x:0:\n"
    "alpha:x:4300:\n"
    "beta:x:4301:alice\n";

class IdentityUseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string users = sandbox_.dir().File("ntlm_users");
    qrn::test::WriteFile(users, "DOM:alice:secret\n");
    chmod(users.c_str(), 0644);  // read again by the thread while it impersonates
    setenv("NTLM_USER_FILE", users.c_str(), 1);
    block_ = "/qrnauth-use-test-" + std::to_string(getpid());
    shm_unlink(block_.c_str());
    setenv("QRNAUTH_IDENTITY_NAME", block_.c_str(), 1);
  }
  void TearDown() override { shm_unlink(block_.c_str()); }

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

struct ThreadIds {
  long euid, egid;
  std::vector<gid_t> groups;
  bool operator==(const ThreadIds&) const = default;
};
ThreadIds Ids() {
  ThreadIds ids{syscall(SYS_geteuid), syscall(SYS_getegid), {}};
  ids.groups.resize(static_cast<size_t>(syscall(SYS_getgroups, 0, nullptr)));
  syscall(SYS_getgroups, ids.groups.size(), ids.groups.data());
  return ids;
}

TEST_F(IdentityUseTest, ImpersonationChangesOnlyTheCallingThread) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch a thread's ids";
  if (qrn::test::RunUnderNssWrapper(kPasswd, kGroups)) return;
  CQRNAuthenticate auth;
  // No client authenticated yet: nothing to impersonate.
  EXPECT_FALSE(auth.ImpersonateContext());
  EXPECT_FALSE(auth.RevertContext());
  ASSERT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));

  // A folder the client may create a file in (the sandbox's parents are
  // closed to others).
  char shared[] = "/tmp/qrnauth-impersonate-XXXXXX";
  ASSERT_NE(mkdtemp(shared), nullptr);
  chmod(shared, 0777);
  const std::string file = std::string(shared) + "/made-by-client";
  const ThreadIds before = Ids();
  std::atomic<int> stage{0};
  ThreadIds other_during;
  std::thread other([&] {
    while (stage.load() != 1) std::this_thread::yield();
    other_during = Ids();
    stage = 2;
  });

  ASSERT_TRUE(auth.ImpersonateContext());
  const ThreadIds during = Ids();
  stage = 1;
  while (stage.load() != 2) std::this_thread::yield();
  other.join();
  EXPECT_EQ(during.euid, 4242);
  EXPECT_EQ(during.egid, 4300);
  EXPECT_NE(std::find(during.groups.begin(), during.groups.end(), 4301u), during.groups.end());
  EXPECT_EQ(other_during, before);

  // The impersonating thread names its client, and still impersonates.
  char domain[256], user[256];
  ASSERT_TRUE(CQRNAuthenticate::GetCurrentUserInfo(domain, user));
  EXPECT_STREQ(user, "alice");
  EXPECT_EQ(syscall(SYS_geteuid), 4242);
  // What the thread creates belongs to the client.
  const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4242u);
  unlink(file.c_str());
  rmdir(shared);

  // Again while impersonating: the revert still goes back to the first ids.
  ASSERT_TRUE(auth.ImpersonateContext());
  ASSERT_TRUE(auth.RevertContext());
  EXPECT_EQ(Ids(), before);
  ASSERT_TRUE(CQRNAuthenticate::GetCurrentUserInfo(domain, user));
  EXPECT_STREQ(user, "root");
  // A revert without an impersonation changes nothing.
  EXPECT_TRUE(auth.RevertContext());
  EXPECT_EQ(Ids(), before);
}

TEST_F(IdentityUseTest, UnknownClientAccountIsNotImpersonated) {
  if (qrn::test::RunUnderNssWrapper("root:x:0:0::/root:/bin/sh\n", "root:x:0:\n")) return;
  CQRNAuthenticate auth;
  ASSERT_TRUE(auth.AuthenticateUser("DOM", "alice", "secret"));
  const ThreadIds before = Ids();
  EXPECT_FALSE(auth.ImpersonateContext());
  EXPECT_EQ(Ids(), before);
}

// ---- identifier form ------------------------------------------------------------

TEST(IdentitySid, TextFormBecomesTheBinaryLayout) {
  std::vector<uint8_t> sid;
  ASSERT_TRUE(qrn::SidFromText("S-1-5-21-1-2-4294967295-500", &sid));
  const std::vector<uint8_t> expected = {1, 5, 0, 0, 0, 0, 0,   5,   21,  0,   0,    0, 1, 0,
                                         0, 0, 2, 0, 0, 0, 255, 255, 255, 255, 0xF4, 1, 0, 0};
  EXPECT_EQ(sid, expected);
  ASSERT_TRUE(qrn::SidFromText("S-1-5-4", &sid));
  EXPECT_EQ(sid, qrn::InteractiveSid());
  ASSERT_TRUE(qrn::SidFromText("S-1-0x010203040506-7", &sid));
  EXPECT_EQ(std::vector<uint8_t>(sid.begin() + 2, sid.begin() + 8),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  std::string sixteen = "S-1-5";
  for (int i = 0; i < 16; ++i) sixteen += "-1";
  for (const std::string& bad :
       {std::string("S-1-5-4294967296"), std::string("S-1-"), std::string("S-2-5-4"),
        std::string("S-1-5--4"), std::string("S-1-5-4-"), std::string("S-1-5-+4"), sixteen,
        std::string("S-1-4294967296-1"), std::string("X-1-5-4")}) {
    sid = {9};
    EXPECT_FALSE(qrn::SidFromText(bad, &sid)) << bad;
    EXPECT_EQ(sid, std::vector<uint8_t>{9}) << bad;
  }
}

TEST_F(IdentityUseTest, AnotherProcessReadsTheSavedIdentityAsIdentifier) {
  CQRNAuthenticate reader;
  uint8_t sid[68];
  uint32_t size = sizeof(sid);
  // Nothing saved yet.
  EXPECT_FALSE(reader.GetAuthenticatedIdentity(sid, &size));
  EXPECT_EQ(size, sizeof(sid));

  ASSERT_EQ(InChild([] {
              CQRNAuthenticate auth;
              return auth.AuthenticateUser("DOM", "alice", "secret") && auth.SaveIdentity() ? 0 : 1;
            }),
            0);
  char domain[256], user[256];
  ASSERT_TRUE(reader.GetAuthenticatedIdentity(domain, user));
  EXPECT_STREQ(user, "alice");
  // No winbind for DOM here: the INTERACTIVE identifier stands in.
  const std::vector<uint8_t> interactive = qrn::InteractiveSid();
  size = 4;
  EXPECT_FALSE(reader.GetAuthenticatedIdentity(sid, &size));
  EXPECT_EQ(size, interactive.size());
  EXPECT_FALSE(reader.GetAuthenticatedIdentity(nullptr, &size));
  EXPECT_FALSE(reader.GetAuthenticatedIdentity(sid, nullptr));
  std::memset(sid, 0xAA, sizeof(sid));
  size = sizeof(sid);
  ASSERT_TRUE(reader.GetAuthenticatedIdentity(sid, &size));
  ASSERT_EQ(size, interactive.size());
  EXPECT_EQ(std::vector<uint8_t>(sid, sid + size), interactive);
  EXPECT_EQ(sid[size], 0xAA);  // nothing written past the identifier

  // The operating-system user mark: this process's own user.
  ASSERT_EQ(InChild([] {
              CQRNAuthenticate auth;
              return auth.AuthenticateUser("", "", "") && auth.SaveIdentity() ? 0 : 1;
            }),
            0);
  size = sizeof(sid);
  EXPECT_TRUE(reader.GetAuthenticatedIdentity(sid, &size));
  EXPECT_EQ(size, interactive.size());
}

// ---- proxy security blanket -----------------------------------------------------

// A proxy whose IClientSecurity records the blanket it is given.
class TestProxy : public IClientSecurity {
 public:
  struct Blanket {
    IUnknown* proxy;
    DWORD authn, authz;
    OLECHAR* principal;
    DWORD authn_level, imp_level;
    void* identity;
    DWORD capabilities;
  };
  explicit TestProxy(bool secure) : secure_(secure) {}
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || (secure_ && riid == IID_IClientSecurity)) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  HRESULT SetBlanket(IUnknown* proxy, DWORD authn, DWORD authz, OLECHAR* principal,
                     DWORD authn_level, DWORD imp_level, void* identity,
                     DWORD capabilities) override {
    calls.push_back(
        {proxy, authn, authz, principal, authn_level, imp_level, identity, capabilities});
    return answer;
  }
  std::vector<Blanket> calls;
  HRESULT answer = S_OK;
  ULONG refs() const { return refs_; }

 private:
  bool secure_;
  ULONG refs_ = 1;
};

std::string Text(const unsigned char* text, uint32_t length) {
  return std::string(reinterpret_cast<const char*>(text), length);
}

TEST_F(IdentityUseTest, ProxyBlanketFollowsTheSavedIdentity) {
  CQRNAuthenticate auth;
  TestProxy proxy(true);
  EXPECT_EQ(auth.SetWkzUser(nullptr, 2, 3), E_INVALIDARG);
  EXPECT_EQ(auth.RevertToOSUser(nullptr, 2, 3), E_INVALIDARG);

  // Empty block: no explicit identity.
  ASSERT_EQ(auth.SetWkzUser(&proxy, 2, 3), S_OK);
  ASSERT_EQ(proxy.calls.size(), 1u);
  const TestProxy::Blanket& b = proxy.calls[0];
  EXPECT_EQ(b.proxy, &proxy);
  EXPECT_EQ(b.authn, 10u);
  EXPECT_EQ(b.authz, 0u);
  EXPECT_EQ(b.principal, nullptr);
  EXPECT_EQ(b.authn_level, 2u);
  EXPECT_EQ(b.imp_level, 3u);
  EXPECT_EQ(b.identity, nullptr);
  EXPECT_EQ(b.capabilities, 0u);

  // A named identity, in narrow form with its lengths.
  qrn::WriteIdentityTexts("Carol Ann", "pässwort", "SALES");
  qrn::WriteOsUserMark(0);
  ASSERT_EQ(auth.SetWkzUser(&proxy, 6, 4), S_OK);
  auto* id = static_cast<COAUTHIDENTITY*>(proxy.calls.back().identity);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(Text(id->User, id->UserLength), "Carol Ann");
  EXPECT_EQ(Text(id->Domain, id->DomainLength), "SALES");
  EXPECT_EQ(Text(id->Password, id->PasswordLength), "pässwort");
  EXPECT_EQ(id->PasswordLength, 9u);
  EXPECT_EQ(id->Flags, QRN_AUTH_IDENTITY_ANSI);
  EXPECT_EQ(id->User[id->UserLength], '\0');
  // The same identity again is the same record; another identity leaves the
  // first one intact for the proxy that still holds it.
  ASSERT_EQ(auth.SetWkzUser(&proxy, 6, 4), S_OK);
  EXPECT_EQ(proxy.calls.back().identity, id);
  qrn::WriteIdentityTexts("bo", "pw", "DOM");
  ASSERT_EQ(auth.SetWkzUser(&proxy, 6, 4), S_OK);
  auto* second = static_cast<COAUTHIDENTITY*>(proxy.calls.back().identity);
  ASSERT_NE(second, id);
  EXPECT_EQ(Text(second->User, second->UserLength), "bo");
  EXPECT_EQ(Text(id->User, id->UserLength), "Carol Ann");

  // Back to the process's own user, whatever is saved.
  ASSERT_EQ(auth.RevertToOSUser(&proxy, 2, 3), S_OK);
  EXPECT_EQ(proxy.calls.back().identity, nullptr);
  EXPECT_EQ(proxy.calls.back().authn, 10u);
  // The operating-system user mark: no explicit identity either.
  qrn::WriteOsUserMark(1);
  ASSERT_EQ(auth.SetWkzUser(&proxy, 2, 3), S_OK);
  EXPECT_EQ(proxy.calls.back().identity, nullptr);

  // The proxy's own answer comes back; every reference taken was released.
  proxy.answer = E_ACCESSDENIED;
  EXPECT_EQ(auth.SetWkzUser(&proxy, 2, 3), E_ACCESSDENIED);
  EXPECT_EQ(proxy.refs(), 1u);
  // A proxy without IClientSecurity.
  TestProxy plain(false);
  EXPECT_EQ(auth.SetWkzUser(&plain, 2, 3), E_NOINTERFACE);
  EXPECT_EQ(auth.RevertToOSUser(&plain, 2, 3), E_NOINTERFACE);
}

}  // namespace
