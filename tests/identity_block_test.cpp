// The saved identity block under concurrent processes: saves racing reads,
// and a peer that shrinks the object while others use it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/auth_credentials.h"
#include "security/common/qrnauthenticate/identity_block.h"
#include "tests/support/test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

// Two identities of different lengths, so that any mix of the two shows.
struct Identity {
  const char* domain;
  const char* user;
  const char* password;
};
constexpr Identity kA = {"DOMA", "userA", "passA-a-rather-long-password-text"};
constexpr Identity kB = {"DOMAIN-BEE", "user-bee-with-a-long-name", "passB"};

// 0: whole; 1: a mix of the two; 2: something else.
int Classify(const std::string& domain, const std::string& user, const std::string& password) {
  for (const Identity& id : {kA, kB})
    if (user == id.user) return password == id.password && domain == id.domain ? 0 : 1;
  return user.empty() && password.empty() && domain.empty() ? 0 : 2;
}

class IdentityBlockRaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "/qrnauth-identity-race-" + std::to_string(getpid());
    shm_unlink(name_.c_str());
    setenv("QRNAUTH_IDENTITY_NAME", name_.c_str(), 1);
  }
  void TearDown() override {
    for (pid_t pid : children_) kill(pid, SIGKILL);
    for (pid_t pid : children_) waitpid(pid, nullptr, 0);
    shm_unlink(name_.c_str());
  }

  // Starts `work` in a child process; its result becomes the exit code.
  void Start(const std::function<int()>& work) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(work());
    children_.push_back(pid);
  }
  // Waits for every child (at most `limit`); their exit codes, -1 for one
  // that died of a signal or did not end.
  std::vector<int> Finish(std::chrono::seconds limit) {
    std::vector<int> codes;
    const auto deadline = Clock::now() + limit;
    for (pid_t pid : children_) {
      int status = 0, code = -1;
      for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
          code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
          break;
        }
        if (r < 0 || Clock::now() > deadline) {
          kill(pid, SIGKILL);
          waitpid(pid, nullptr, 0);
          break;
        }
        usleep(10000);
      }
      codes.push_back(code);
    }
    children_.clear();
    return codes;
  }

  std::string name_;
  std::vector<pid_t> children_;
};

constexpr auto kRunTime = std::chrono::milliseconds(1500);

// Two processes save different identities while two others read, one the
// raw block, one through GetAuthenticatedIdentity into its credential
// record: every read pairs a user with that user's own password and domain.
TEST_F(IdentityBlockRaceTest, ConcurrentSavesNeverPairOneUserWithAnothersPassword) {
  for (const Identity& id : {kA, kB}) {
    Start([id] {
      CQRNAuthenticate writer;
      if (!writer.SetAuthenticationCredential(id.domain, id.user, id.password)) return 3;
      const auto end = Clock::now() + kRunTime;
      while (Clock::now() < end) writer.SaveIdentity();
      return 0;
    });
  }
  Start([] {
    long reads = 0;
    const auto end = Clock::now() + kRunTime;
    while (Clock::now() < end) {
      const qrn::SavedIdentity s = qrn::ReadIdentityBlock();
      if (const int c = Classify(s.domain, s.user, s.password); c != 0) return c;
      ++reads;
    }
    std::fprintf(stderr, "%s reader: %ld whole reads\n", "raw", reads);
    return reads > 100 ? 0 : 4;
  });
  Start([] {
    CQRNAuthenticate reader;
    long reads = 0;
    const auto end = Clock::now() + kRunTime;
    while (Clock::now() < end) {
      char domain[256], user[256];
      if (!reader.GetAuthenticatedIdentity(domain, user)) continue;
      const qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
      const std::string password(record.password, record.passwordLength);
      if (const int c = Classify(domain, user, password); c != 0) return c;
      if (std::string(record.userName, record.userNameLength) != user) return 2;
      ++reads;
    }
    std::fprintf(stderr, "%s reader: %ld whole reads\n", "record", reads);
    return reads > 100 ? 0 : 4;
  });
  const std::vector<int> codes = Finish(std::chrono::seconds(30));
  EXPECT_EQ(codes, (std::vector<int>{0, 0, 0, 0}))
      << "writers, raw reader, record reader; 1 = a torn identity, 4 = too few reads";
}

// A peer shrinks the object (even to nothing) while a reader and a writer
// keep using it: neither dies, a shrunk block reads as empty or as what is
// left, and the next save makes it whole again, reserved word untouched.
TEST_F(IdentityBlockRaceTest, ShrunkObjectCrashesNoReader) {
  qrn::WriteIdentity(kA.user, kA.password, kA.domain, 0);
  ASSERT_TRUE(qrn::IdentityBlockShared());
  Start([] {
    const auto end = Clock::now() + kRunTime;
    while (Clock::now() < end) {
      const qrn::SavedIdentity s = qrn::ReadIdentityBlock();
      if (s.user.size() > 255 || s.password.size() > 255 || s.domain.size() > 255) return 2;
    }
    return 0;
  });
  Start([] {
    const auto end = Clock::now() + kRunTime;
    while (Clock::now() < end) qrn::WriteIdentity(kB.user, kB.password, kB.domain, 0);
    return 0;
  });
  const std::string name = name_;
  Start([name] {
    const int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) return 3;
    const auto end = Clock::now() + kRunTime;
    for (off_t size = 0; Clock::now() < end; size = (size + 97) % 776) (void)!ftruncate(fd, size);
    close(fd);
    return 0;
  });
  EXPECT_EQ(Finish(std::chrono::seconds(30)), (std::vector<int>{0, 0, 0}))
      << "reader, writer, truncater; -1 = died of a signal";

  const int fd = shm_open(name_.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 0), 0);
  EXPECT_EQ(qrn::ReadIdentityBlock().user, "");
  qrn::WriteIdentity(kA.user, kA.password, kA.domain, 1);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 776);
  unsigned char tail[8];
  ASSERT_EQ(pread(fd, tail, sizeof tail, 768), 8);
  close(fd);
  EXPECT_EQ(std::memcmp(tail, "\0\0\0\0\1\0\0\0", 8), 0);
  const qrn::SavedIdentity s = qrn::ReadIdentityBlock();
  EXPECT_EQ(Classify(s.domain, s.user, s.password), 0);
  EXPECT_EQ(s.user, kA.user);
  EXPECT_EQ(s.os_user_mark, 1u);
}

// A host that forks while another of its threads reads the block: the child
// may inherit the process's block lock taken. It must not wait for ever.
TEST_F(IdentityBlockRaceTest, ChildForkedDuringAReadDoesNotHang) {
  qrn::WriteIdentity(kA.user, kA.password, kA.domain, 0);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) (void)qrn::ReadIdentityBlock();
  });
  for (int i = 0; i < 20; ++i) {
    Start([] {
      const qrn::SavedIdentity s = qrn::ReadIdentityBlock();
      return Classify(s.domain, s.user, s.password);
    });
    usleep(2000);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(Finish(std::chrono::seconds(10)), std::vector<int>(20, 0))
      << "-1: a child hung (killed at the deadline)";
}

}  // namespace
