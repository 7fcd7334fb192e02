// Process-wide state of the authorizers: the one lock of the subsystem
// (syncGroup, guarding the users' backup group lists) and the flag that the
// role-cache timer sets for the next role lookup to consume.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace qrn {

constexpr char kAuthorizeSource[] = "security/common/qrnauthorize";

// A named lock: a critical section (recursive, like the platform's) with its
// name and the count of threads inside. Created by the first authorizer of
// the process; before that, Enter still works (the section is always usable).
class NamedLock {
 public:
  // Marks the lock created (name "GROUP") and writes the diagnostic line
  // "syncGroup.Init". Only the first call does anything; later ones and
  // concurrent ones return at once.
  void Create();
  bool created() const { return created_.load(std::memory_order_acquire); }
  const char* name() const { return "GROUP"; }
  int inside() const { return inside_.load(std::memory_order_relaxed); }

  void Enter();
  void Leave();

 private:
  std::atomic<bool> created_{false};
  std::once_flag once_;
  std::recursive_mutex section_;
  std::atomic<int> inside_{0};
};

// Holds a NamedLock for a scope.
class NamedLockGuard {
 public:
  explicit NamedLockGuard(NamedLock& lock) : lock_(lock) { lock_.Enter(); }
  ~NamedLockGuard() { lock_.Leave(); }
  NamedLockGuard(const NamedLockGuard&) = delete;
  NamedLockGuard& operator=(const NamedLockGuard&) = delete;

 private:
  NamedLock& lock_;
};

extern NamedLock syncGroup;

// Set by a tick of any authorizer's role-cache timer; the next role lookup of
// any authorizer empties its per-user maps and clears it. Atomic only so that
// hosts with several threads stay free of data races; no ordering is implied.
extern std::atomic<bool> g_bDumpRoleCache;

// A fresh non-zero timer id for the process.
uint32_t NextTimerId();

}  // namespace qrn
