// An observer of one access check: the check reports to it what it decided
// on its way (the groups and where they came from, each role and what
// matched it, the ACL entries each role was looked up in), so that a tool
// can explain the answer without deciding anything a second time.
//
// The observer is per thread: a ScopedCheckObserver makes it the active one
// for the checks its thread makes while it lives. While no thread has one, a
// check pays one relaxed atomic load per step (no thread-local lookup).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "qrnauth/qrnrole.h"
#include "security/common/qrnacl.h"

namespace qrn {

// Where the groups of a check came from.
enum class GroupOrigin {
  kServer,          // the security server resolved them
  kDirectory,       // this computer asked the directory
  kOldServer,       // the older server's list of all the user's groups
  kNovell,          // the NovellUserInfo component
  kResolved,        // this check's resolution: one of the four above, told by GroupSource
  kEarlierLookup,   // this authorizer resolved them for an earlier check
  kBackupList,      // the process-wide backup list (the resolution found none)
  kNoGroupSupport,  // group support is off: only the everyone group
  kNone,            // the resolution found none and no backup list helped
};

class CheckObserver {
 public:
  virtual ~CheckObserver() = default;
  // The resolution's source (told by the group resolution when it ran).
  virtual void GroupSource(GroupOrigin origin) { (void)origin; }
  // The groups the matching used, as it used them (qualified names), and
  // where they came from.
  virtual void Groups(GroupOrigin origin, const std::vector<std::string>& names) {
    (void)origin;
    (void)names;
  }
  // A role the user holds, and the user name or group that matched it.
  virtual void RoleHeld(const CQRNRole& role, const std::string& matched, bool by_user) {
    (void)role;
    (void)matched;
    (void)by_user;
  }
  // The roles came from this authorizer's answer for an earlier check: no
  // matching ran.
  virtual void RolesFromEarlierLookup() {}
  // One role's ACL lookup for the object: the object's entries (null when
  // the object has none), the entry that decided (null: none names the role),
  // and the answer.
  virtual void AclLookup(const CQRNRole& role, const AclEntries* entries, const AclEntry* decided,
                         bool allowed) {
    (void)role;
    (void)entries;
    (void)decided;
    (void)allowed;
  }
};

// How many ScopedCheckObservers live, in all threads.
extern std::atomic<int> live_check_observers;
// The observer of this thread, or null.
CheckObserver* ThreadCheckObserver();
// The active observer of this thread, or null.
inline CheckObserver* ActiveCheckObserver() {
  return live_check_observers.load(std::memory_order_relaxed) == 0 ? nullptr
                                                                   : ThreadCheckObserver();
}

class ScopedCheckObserver {
 public:
  explicit ScopedCheckObserver(CheckObserver* observer);
  ~ScopedCheckObserver();
  ScopedCheckObserver(const ScopedCheckObserver&) = delete;
  ScopedCheckObserver& operator=(const ScopedCheckObserver&) = delete;

 private:
  CheckObserver* previous_;
};

}  // namespace qrn
