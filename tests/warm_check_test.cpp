// Repeated checks of one user take a shorter path than the first; these
// cases change what that path relies on between two checks (the name, the
// buffer it is read from, the configuration, the role-cache timer, an
// observer, a failed allocation) and expect the answers of a first check.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/check_observer.h"
#include "security/common/qrnauthorize/loaded_state_view.h"
#include "security/common/qrnauthorize/process_state.h"
#include "tests/support/authorize_env.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QRN_TEST_UNDER_ASAN 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define QRN_TEST_UNDER_ASAN 1
#endif
#ifdef QRN_TEST_UNDER_ASAN
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Allocations of one size fail while armed, after a number of them passed:
// enough to make one step of a role lookup run out of memory.
namespace {
std::atomic<size_t> fail_size{0};
std::atomic<int> fail_after{0};
std::atomic<int> refused{0};
}  // namespace

void* operator new(size_t size) {
  if (size != 0 && size == fail_size.load(std::memory_order_relaxed) &&
      fail_after.fetch_sub(1, std::memory_order_relaxed) <= 0) {
    refused.fetch_add(1, std::memory_order_relaxed);
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace qrn {
namespace {

using test::AuthorizeEnv;
using test::RegDword;
using Inspector = CQRNAuthorizeInspector;

constexpr char kData[] =
    R"({"format": 1, "timestamp": "12/01/2026 10:00:00 AM", "localGroupsLevel": 0, "roles": [
  {"id": "{00000000-0000-4000-8000-000000000001}", "name": "Admins", "users": ["SALES\\admin"]},
  {"id": "{00000000-0000-4000-8000-000000000002}", "name": "Writers", "users": ["SALES\\bob"]}],
  "acls": {"Pay.Monthly": "Writers:6;Admins:-1"}})";
constexpr char kObject[] = "Pay.Monthly";

// Permission 1: Admins holds it, Writers does not, nobody else has a role.
bool Holds(CQRNAuthorize& authorizer, const char* user) {
  return authorizer.CheckAccess(user, kObject, 1);
}

class WarmCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.Start(kData);
    ASSERT_TRUE(authorizer_.InitCache("SALES\\admin", 0));
    ASSERT_TRUE(Holds(authorizer_, "SALES\\admin"));
    ASSERT_TRUE(Holds(authorizer_, "SALES\\admin"));  // now warm
  }
  AuthorizeEnv env_;
  CQRNAuthorize authorizer_;
};

TEST_F(WarmCheck, OtherNamesAfterAWarmCheckGetTheirOwnRoles) {
  // Look-alikes, a prefix, an extension: none is the cached user.
  for (const char* other : {"SALES\\adm\xC4\xB1n", "SALES\\admi", "SALES\\admin2", "SALES\\bob",
                            "SALES\\admin\\", "SALES\\ADM\xC4\xB0N"}) {
    EXPECT_FALSE(Holds(authorizer_, other)) << other;
    EXPECT_TRUE(Holds(authorizer_, "SALES\\admin")) << "after " << other;
  }
  // A case variant is the same user.
  EXPECT_TRUE(Holds(authorizer_, "sales\\ADMIN"));
  EXPECT_TRUE(Holds(authorizer_, "SALES\\admin"));

  // A host that rewrites its name buffer between checks.
  char name[] = "SALES\\admin";
  EXPECT_TRUE(Holds(authorizer_, name));
  std::memcpy(name, "SALES\\carol", sizeof name);
  EXPECT_FALSE(Holds(authorizer_, name));
  std::memcpy(name, "SALES\\admin", sizeof name);
  EXPECT_TRUE(Holds(authorizer_, name));
  name[10] = '\0';  // "SALES\admi"
  EXPECT_FALSE(Holds(authorizer_, name));
}

TEST_F(WarmCheck, DiagnosticLogSwitchedOnIsSeenByTheNextCheck) {
  const std::string log = env_.sandbox.temp_folder() + "mvtlog.txt";
  env_.WriteHive(env_.secd->url(), {"\"Mvtlog\"=" + RegDword(1)});
  EXPECT_TRUE(Holds(authorizer_, "SALES\\admin"));
  EXPECT_NE(test::ReadFile(log).find("User role in cache=SALES\\admin"), std::string::npos);

  env_.WriteHive(env_.secd->url(), {"\"Mvtlog\"=" + RegDword(0)});
  const std::string before = test::ReadFile(log);
  EXPECT_TRUE(Holds(authorizer_, "SALES\\admin"));
  EXPECT_TRUE(Holds(authorizer_, "SALES\\admin"));
  EXPECT_EQ(test::ReadFile(log), before);
}

TEST_F(WarmCheck, TimerTickAndDumpFlagEmptyTheCachedRoles) {
  ASSERT_FALSE(Holds(authorizer_, "SALES\\bob"));
  ASSERT_TRUE(Holds(authorizer_, "SALES\\admin"));
  ASSERT_EQ(Inspector::CachedUserRoles(authorizer_), 2u);
  const uint32_t timer = Inspector::TimerId(authorizer_);
  ASSERT_NE(timer, 0u);

  // The timer falls due: the next check ticks it, and the tick's dump
  // empties the cache before the lookup, which caches this user again.
  Inspector::MakeTimerDue(authorizer_);
  EXPECT_TRUE(Holds(authorizer_, "SALES\\admin"));
  EXPECT_EQ(Inspector::CachedUserRoles(authorizer_), 1u);
  EXPECT_FALSE(g_bDumpRoleCache.load());
  EXPECT_EQ(Inspector::TimerId(authorizer_), timer);  // re-armed, not replaced

  // Another authorizer's tick (the flag is process-wide) does the same.
  ASSERT_FALSE(Holds(authorizer_, "SALES\\bob"));
  ASSERT_TRUE(Holds(authorizer_, "SALES\\admin"));
  ASSERT_EQ(Inspector::CachedUserRoles(authorizer_), 2u);
  g_bDumpRoleCache.store(true);
  EXPECT_TRUE(Holds(authorizer_, "SALES\\admin"));
  EXPECT_EQ(Inspector::CachedUserRoles(authorizer_), 1u);
}

TEST_F(WarmCheck, AnObserverInstalledBetweenChecksSeesTheLookup) {
  struct Seen : CheckObserver {
    int earlier = 0;
    int lookups = 0;
    void RolesFromEarlierLookup() override { ++earlier; }
    void AclLookup(const CQRNRole&, const AclEntries*, const AclEntry*, bool) override {
      ++lookups;
    }
  } seen;
  {
    ScopedCheckObserver scope(&seen);
    EXPECT_TRUE(Holds(authorizer_, "SALES\\admin"));
  }
  EXPECT_EQ(seen.earlier, 1);
  EXPECT_EQ(seen.lookups, 1);
  EXPECT_TRUE(Holds(authorizer_, "SALES\\admin"));
  EXPECT_EQ(seen.lookups, 1);
}

// A lookup that runs out of memory while it takes a new name leaves the
// last name and its cache key as they were: a name never goes with another
// user's key, so nobody later receives another user's roles.
TEST_F(WarmCheck, OutOfMemoryWhileTakingANewNameKeepsNameAndKeyTogether) {
  if (kAddressSanitizer) {
    // The sanitizer's own operator new serves the library's allocations.
    GTEST_SKIP() << "allocation failures cannot be injected under AddressSanitizer";
  }
  const std::string other = "SALES\\" + std::string(84, 'x');  // no roles
  ASSERT_EQ(other.size(), 90u);
  // The folded key and the name copy are the lookup's first two
  // allocations of that size: the second fails.
  fail_after.store(1);
  fail_size.store(other.size() + 1);
  EXPECT_FALSE(Holds(authorizer_, other.c_str()));
  fail_size.store(0);
  ASSERT_EQ(refused.load(), 1);

  EXPECT_TRUE(Holds(authorizer_, "SALES\\admin"));
  EXPECT_FALSE(Holds(authorizer_, other.c_str()));
  EXPECT_TRUE(Holds(authorizer_, "SALES\\admin"));
}

}  // namespace
}  // namespace qrn
