// The current user of the calling thread, the Novell branch, and the saved
// identity block shared between processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/os.h"
#include "qrnauth/novell.h"
#include "qrnauth/qrnauth.h"
#include "security/common/qrnauthenticate/identity_block.h"
#include "tests/support/nss_wrapper.h"
#include "tests/support/test_env.h"

namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

// ---- current user -----------------------------------------------------------

TEST(CurrentUser, NamesTheRunningUserWithThisComputerAsDomain) {
  qrn::test::HiveSandbox sandbox;
  const passwd* me = getpwuid(geteuid());
  ASSERT_NE(me, nullptr);
  std::string computer;
  ASSERT_TRUE(qrn::platform::ComputerName(&computer));

  char domain[256], user[256];
  ASSERT_TRUE(CQRNAuthenticate::GetCurrentUserInfo(domain, user));
  EXPECT_EQ(std::string(user), me->pw_name);
  EXPECT_EQ(std::string(domain), computer);

  char domain2[256], user2[256];
  EXPECT_EQ(CQRNAuthenticate::GetCurrentContext(domain2, user2), S_OK);
  EXPECT_STREQ(domain2, domain);
  EXPECT_STREQ(user2, user);
  EXPECT_FALSE(CQRNAuthenticate::GetCurrentUserInfo(nullptr, user));
}

// The running uid is SALES\alice.
std::string DomainPasswd() {
  const std::string me = std::to_string(geteuid());
  return "SALES\\alice:x:" + me +
         ":0:Alice:/root:/bin/sh\n"
         "bob:x:1002:1002:Bob:/home/bob:/bin/sh\n";
}
constexpr char kGroups[] = "root:x:0:\n";

TEST(CurrentUser, DomainAccountGivesItsDomain) {
  if (qrn::test::RunUnderNssWrapper(DomainPasswd(), kGroups)) return;
  qrn::test::HiveSandbox sandbox;
  char domain[256], user[256];
  ASSERT_TRUE(CQRNAuthenticate::GetCurrentUserInfo(domain, user));
  EXPECT_STREQ(domain, "SALES");
  EXPECT_STREQ(user, "alice");
}

TEST(CurrentUser, LongAccountNameIsCutToTheBuffer) {
  const std::string name = std::string(300, 'n');
  const std::string passwd =
      "SALES\\" + name + ":x:" + std::to_string(geteuid()) + ":0::/root:/bin/sh\n";
  if (qrn::test::RunUnderNssWrapper(passwd, kGroups)) return;
  qrn::test::HiveSandbox sandbox;
  char domain[256], user[260];
  std::memset(user, 'x', sizeof(user));
  ASSERT_TRUE(CQRNAuthenticate::GetCurrentUserInfo(domain, user));
  EXPECT_EQ(std::strlen(user), 255u);
  EXPECT_EQ(user[256], 'x');  // nothing written past the 256-byte buffer
}

// Impersonation switches one thread's uid only (raw system call): that
// thread names the impersonated account, the others still the process's.
TEST(CurrentUser, ImpersonatingThreadGetsTheClient) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch a thread's uid";
  if (qrn::test::RunUnderNssWrapper(DomainPasswd(), kGroups)) return;
  qrn::test::HiveSandbox sandbox;
  std::string impersonated, after;
  std::thread worker([&] {
    ASSERT_EQ(syscall(SYS_setresuid, -1, 1002, -1), 0);
    char domain[256], user[256];
    if (CQRNAuthenticate::GetCurrentUserInfo(domain, user)) impersonated = user;
    EXPECT_EQ(syscall(SYS_geteuid), 1002);  // still impersonating afterwards
    ASSERT_EQ(syscall(SYS_setresuid, -1, 0, -1), 0);
    if (CQRNAuthenticate::GetCurrentUserInfo(domain, user)) after = user;
  });
  char domain[256], user[256];
  worker.join();
  EXPECT_EQ(impersonated, "bob");
  EXPECT_EQ(after, "alice");
  ASSERT_TRUE(CQRNAuthenticate::GetCurrentUserInfo(domain, user));
  EXPECT_STREQ(user, "alice");
}

// An account the name service does not know: only the login name is found,
// with no domain, so the answer is false and the buffers stay cleared.
TEST(CurrentUser, UnknownAccountFailsAndContextClearsBuffers) {
  if (qrn::test::RunUnderNssWrapper("bob:x:1002:1002::/:/bin/sh\n", kGroups, {"LOGNAME=someone"}))
    return;
  qrn::test::HiveSandbox sandbox;
  char domain[256], user[256];
  std::memset(domain, 'd', sizeof(domain));
  std::memset(user, 'u', sizeof(user));
  EXPECT_FALSE(CQRNAuthenticate::GetCurrentUserInfo(domain, user));
  EXPECT_EQ(domain[0], 'd');  // untouched on failure
  EXPECT_EQ(CQRNAuthenticate::GetCurrentContext(domain, user), E_FAIL);
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(domain[i], 0) << i;
    ASSERT_EQ(user[i], 0) << i;
  }
}

// ---- Novell branch ----------------------------------------------------------

struct NovellAnswers {
  const char16_t* user;
  const char16_t* domain;
};
NovellAnswers novell_answers{u"nwuser", u"NWTREE"};
std::atomic<int> novell_live{0};

class TestNovellUserInfo final : public INovellUserInfo {
 public:
  TestNovellUserInfo() { ++novell_live; }
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_INovellUserInfo) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      --novell_live;
      delete this;
    }
    return left;
  }
  HRESULT GetUserName(BSTR* name) override {
    *name = novell_answers.user ? SysAllocString(novell_answers.user) : nullptr;
    return S_OK;
  }
  HRESULT GetDomainName(BSTR* name) override {
    *name = novell_answers.domain ? SysAllocString(novell_answers.domain) : nullptr;
    return S_OK;
  }
  HRESULT IsGroupMember(BSTR, BSTR, VARIANT_BOOL* member) override {
    *member = VARIANT_FALSE;
    return S_OK;
  }

 private:
  ~TestNovellUserInfo() = default;
  ULONG refs_ = 1;
};

HRESULT CreateTestNovell(REFIID riid, void** object) {
  auto* info = new TestNovellUserInfo();
  const HRESULT hr = info->QueryInterface(riid, object);
  info->Release();
  return hr;
}

class NovellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_.WriteMachineHive(std::string(kHeader) +
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n"
                              "\"NovellClient\"=dword:00000001\r\n");
  }
  qrn::test::HiveSandbox sandbox_;
};

TEST_F(NovellTest, ComponentNamesUserAndDomainAndIsReleased) {
  ASSERT_EQ(QrnRegisterClass(CLSID_NovellUserInfo, CreateTestNovell), S_OK);
  char domain[256], user[256];
  ASSERT_TRUE(CQRNAuthenticate::GetCurrentUserInfo(domain, user));
  EXPECT_STREQ(user, "nwuser");
  EXPECT_STREQ(domain, "NWTREE");
  EXPECT_EQ(novell_live.load(), 0);

  novell_answers.domain = nullptr;  // a component without a domain
  EXPECT_FALSE(CQRNAuthenticate::GetCurrentUserInfo(domain, user));
  EXPECT_EQ(novell_live.load(), 0);
}

TEST_F(NovellTest, UnregisteredComponentFails) {
  char domain[256], user[256];
  EXPECT_EQ(CQRNAuthenticate::GetCurrentContext(domain, user), E_FAIL);
  EXPECT_STREQ(user, "");
}

// ---- saved identity block ---------------------------------------------------

class IdentityBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "/qrnauth-identity-test-" + std::to_string(getpid());
    shm_unlink(name_.c_str());
    setenv("QRNAUTH_IDENTITY_NAME", name_.c_str(), 1);
  }
  void TearDown() override { shm_unlink(name_.c_str()); }
  std::string name_;
};

TEST_F(IdentityBlockTest, CreatedZeroWithOwnerOnlyAccess) {
  EXPECT_EQ(qrn::IdentityBlockName(), name_);
  const qrn::SavedIdentity identity = qrn::ReadIdentityBlock();
  EXPECT_TRUE(qrn::IdentityBlockShared());
  EXPECT_EQ(identity.user, "");
  EXPECT_EQ(identity.password, "");
  EXPECT_EQ(identity.domain, "");
  EXPECT_EQ(identity.os_user_mark, 0u);

  const int fd = shm_open(name_.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, geteuid());
  ASSERT_EQ(st.st_size, 776);
  const auto* bytes =
      static_cast<const unsigned char*>(mmap(nullptr, 776, PROT_READ, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(bytes, MAP_FAILED);
  for (int i = 0; i < 776; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

// A process that starts after another saved a named identity finds it there,
// at the fixed offsets, with mark 0; a later shorter text leaves no old bytes.
TEST_F(IdentityBlockTest, ChildWritesParentReads) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    qrn::WriteIdentityTexts("first-long-user", "long-password-text", "DOMAIN-LONG");
    qrn::WriteIdentityTexts("bob", "pw", "SALES");
    qrn::WriteOsUserMark(0);
    _exit(qrn::IdentityBlockShared() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const qrn::SavedIdentity identity = qrn::ReadIdentityBlock();
  EXPECT_EQ(identity.user, "bob");
  EXPECT_EQ(identity.password, "pw");
  EXPECT_EQ(identity.domain, "SALES");
  EXPECT_EQ(identity.os_user_mark, 0u);

  const int fd = shm_open(name_.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  const auto* raw = static_cast<const char*>(mmap(nullptr, 776, PROT_READ, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(raw, MAP_FAILED);
  EXPECT_STREQ(raw + 256, "pw");
  EXPECT_STREQ(raw + 512, "SALES");
  for (int i = 4; i < 256; ++i) ASSERT_EQ(raw[i], 0) << "user byte " << i;

  qrn::WriteOsUserMark(1);
  EXPECT_EQ(raw[772], 1);
  EXPECT_EQ(qrn::ReadIdentityBlock().user, "bob");  // the texts stay
}

TEST_F(IdentityBlockTest, TextsAreBoundedWhateverTheBlockHolds) {
  qrn::WriteIdentityTexts(std::string(400, 'u'), "", "D");
  EXPECT_EQ(qrn::ReadIdentityBlock().user, std::string(255, 'u'));

  // Another process filled a field without a terminator.
  const int fd = shm_open(name_.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  auto* raw = static_cast<char*>(mmap(nullptr, 776, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(raw, MAP_FAILED);
  std::memset(raw + 256, 'p', 256);
  EXPECT_EQ(qrn::ReadIdentityBlock().password, std::string(255, 'p'));
  EXPECT_EQ(qrn::ReadIdentityBlock().domain, "D");
}

// Refused objects: readable by others, or someone else's. The block then
// counts as empty and nothing written reaches the object.
TEST_F(IdentityBlockTest, RefusesAnObjectOthersCanRead) {
  const int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, 0644), 0);
  ASSERT_EQ(ftruncate(fd, 776), 0);
  auto* raw = static_cast<char*>(mmap(nullptr, 776, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(raw, MAP_FAILED);
  std::strcpy(raw, "planted");

  testing::internal::CaptureStderr();
  const qrn::SavedIdentity identity = qrn::ReadIdentityBlock();
  qrn::WriteIdentityTexts("bob", "secret", "SALES");
  qrn::ReadIdentityBlock();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(qrn::IdentityBlockShared());
  EXPECT_EQ(identity.user, "");
  EXPECT_STREQ(raw, "planted");
  EXPECT_EQ(raw[256], 0);  // the password never went there
  EXPECT_NE(err.find("mode 0600"), std::string::npos) << err;
  EXPECT_EQ(err.find("qrnauth:"), err.rfind("qrnauth:"));  // reported once
}

TEST_F(IdentityBlockTest, RefusesSomeoneElsesObject) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the object away";
  const int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchown(fd, 12345, 12345), 0);
  close(fd);
  testing::internal::CaptureStderr();
  qrn::WriteIdentityTexts("bob", "secret", "SALES");
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(qrn::IdentityBlockShared());
  EXPECT_EQ(qrn::ReadIdentityBlock().user, "");
}

}  // namespace
