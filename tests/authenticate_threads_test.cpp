// In-process credential checks on several threads at once, each thread with
// its own object: every answer must be the one its own credentials deserve,
// whatever the other threads check at the same moment. Also built and run
// under ThreadSanitizer (a clang build with -fsanitize=thread).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "qrnauth/qrnauthenticate.h"
#include "tests/support/test_env.h"

namespace {

constexpr int kThreads = 4;
constexpr int kChecksPerThread = 5000;

// NT-hash entries (no plain text, so the acceptor hashes nothing per check):
// "first" comes first, as the account a default credential would pick.
std::string UserFile() {
  auto entry = [](const std::string& name, const char* hash) {
    return "DOM\\" + name + ":1000:XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX:" + hash +
           ":[U          ]:LCT-00000000:\n";
  };
  return entry("first", "878D8014606CDA29677A44EFA1353FC7") +  // secret
         entry("alice", "878D8014606CDA29677A44EFA1353FC7") +  // secret
         entry("bob", "6608E4BC7B2B7A5F77CE3573570775AF");     // hunter2
}

struct Case {
  const char* user;
  const char* password;  // null: a new wrong password each time
  bool expected;
};
constexpr Case kCases[] = {
    {"alice", "secret", true}, {"alice", nullptr, false}, {"bob", "hunter2", true},
    {"bob", "secret", false},  {"bob", nullptr, false},   {"", "secret", false},
};

TEST(AuthenticateThreadsTest, EveryAnswerIsRightUnderConcurrentChecks) {
  qrn::test::HiveSandbox sandbox;
  std::string users = sandbox.dir().File("users");
  qrn::test::WriteFile(users, UserFile());
  // The mechanism reads its environment with getenv: set before threads start.
  setenv("NTLM_USER_FILE", users.c_str(), 1);

  std::atomic<int> wrong_answers{0};
  std::vector<std::string> first_wrong(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong_answers, &first_wrong] {
      CQRNAuthenticate auth;
      constexpr int kCaseCount = sizeof kCases / sizeof kCases[0];
      for (int i = 0; i < kChecksPerThread; ++i) {
        // Threads walk the cases out of step, so different credentials meet.
        const Case& c = kCases[(i + t) % kCaseCount];
        std::string guess = "guess-" + std::to_string(t) + "-" + std::to_string(i);
        const char* password = c.password != nullptr ? c.password : guess.c_str();
        if (auth.AuthenticateUser("DOM", c.user, password) != c.expected) {
          ++wrong_answers;
          if (first_wrong[t].empty()) first_wrong[t] = std::string(c.user) + "/" + password;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong_answers.load(), 0)
      << first_wrong[0] << " " << first_wrong[1] << " " << first_wrong[2] << " " << first_wrong[3];
}

}  // namespace
