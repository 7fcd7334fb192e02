// The access checks: may a user exercise a permission bit on a secured
// object (through the user's roles and the object's ACL), and does a named
// role hold it. Authorization decisions are audited as the selector asks.
#include <cstring>
#include <string>
#include <vector>

#include "frame/config.h"
#include "frame/diagnostic_log.h"
#include "platform/os.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/audit_record.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/qrnauthorize/check_observer.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrnauthorize/steps.h"

namespace {

using qrn::Report;
namespace steps = qrn::authorize_steps;

constexpr qrn::Site kSite = steps::kSite.In("CheckAccess");
// A given user name is cut to the 511 bytes of the name buffer, at a
// character boundary, like the names a load is made for.
constexpr size_t kUserNameMax = 511;

constexpr qrn::Step kChooseUser = steps::kChooseUser.AtLine(1997);
constexpr qrn::Step kNovellCheck = steps::kNovellCheck.AtLine(2003);
constexpr qrn::Step kNovellName = steps::kNovellName.AtLine(2009);
constexpr qrn::Step kReadRoles = {2026, "GetUserRolesFromCache", "Reading Roles from the Cache",
                                  "Cannot read Roles from Cache"};
constexpr qrn::Step kNoRoles = {2032, "prolesArray", "Checking the Roles Array",
                                "Roles Array is empty"};

bool AuditsAuthorization(int32_t selector) { return selector == 1 || selector == 3; }

// Kept out of the check itself, whose frame stays small without the record.
__attribute__((noinline)) void WriteAuthorizationRecord(std::string_view user, bool granted) {
  CQRNLog record;
  record.SetUser(user);
  record.SetAction(CQRNLog::kAuthorization);
  record.SetStatus(granted ? CQRNLog::kSuccess : CQRNLog::kFailed);
  record.Write();
}

// Whether the C text is exactly kept (same bytes, same length). Reads the
// text no further than its terminator. Kept names never hold a NUL (every
// name looked up comes from a C text), so the terminator compares too.
bool IsKeptName(const char* text, const std::string& kept) {
  return std::strncmp(text, kept.c_str(), kept.size() + 1) == 0;
}

}  // namespace

bool CQRNAuthorize::CheckAccess(const char* user, const char* object, unsigned int permission) {
  try {
    if (user != nullptr && user[0] != '\0') {
      // The name of the last role lookup again (the usual case for a host
      // checking one user): a kept name fits the cut, so the cut would leave
      // the name as it is. The kept copy is passed on itself, which tells
      // the role lookup that the name is unchanged without comparing it.
      if (lastRolesUser.size() <= kUserNameMax && IsKeptName(user, lastRolesUser)) {
        // The warm check: no Novell conversion, no audit record, nobody
        // observing, no diagnostic log, the role-cache timer armed and not
        // due, no dump pending, the user's roles cached. CheckUserAccess
        // would do no more than look the cached roles up and ask the ACL;
        // this does the same without its calls and frames, on one coarse
        // clock reading. Anything else takes the full path.
        if (novellFlag == 0 && cache != nullptr && timerId != 0 &&
            !AuditsAuthorization(qrn::AuditSelector()) &&
            !qrn::g_bDumpRoleCache.load(std::memory_order_relaxed) &&
            qrn::ActiveCheckObserver() == nullptr) {
          const uint64_t now = qrn::platform::CoarseMillis();
          if (now < timerDeadlineMs && !qrn::MvtLogEnabled(now)) {
            if (const auto found = userRolesMap.find(lastRolesKey); found != userRolesMap.end()) {
              for (const CQRNRole* role : *found->second)
                if (role != nullptr &&
                    cache->aclStore.AclAllows(role->roleName, object, permission))
                  return true;
              return false;
            }
          }
        }
        return CheckUserAccess(lastRolesUser, object, permission);
      }
      return CheckUserAccess(qrn::platform::CutAtCharBoundary(user, kUserNameMax), object,
                             permission);
    }
    std::string name;
    const HRESULT chosen = qrn::ChooseUser(nullptr, &name);
    if (FAILED(chosen)) {
      Report(kSite, kChooseUser, chosen);
      return false;
    }
    return CheckUserAccess(name, object, permission);
  } catch (...) {
    return false;
  }
}

bool CQRNAuthorize::CheckUserAccess(std::string_view user, const char* object,
                                    unsigned int permission) {
  bool novell = novellFlag == 1;
  if (novellFlag == -1) {
    const HRESULT novell_check = qrn::MvtIsNovellClient(&novell);
    if (FAILED(novell_check)) {
      Report(kSite, kNovellCheck, novell_check);
      return false;
    }
    novellFlag = novell ? 1 : 0;
  }
  std::string converted;
  if (novell) {
    converted.assign(user);
    if (FAILED(Report(kSite, kNovellName, qrn::ConvertToNovellUserFormat(&converted))))
      return false;
    user = converted;
  }

  const bool audit = AuditsAuthorization(qrn::AuditSelector());
  if (cache == nullptr) return false;

  bool granted = false;
  try {
    std::vector<CQRNRole*>* roles = nullptr;
    // The name was converted above; the flag is passed on, not read again.
    const HRESULT hr = UserRoles(user, &roles, &novell);
    if (FAILED(hr)) {
      Report(kSite, kReadRoles, hr);
    } else if (roles == nullptr) {
      Report(kSite, kNoRoles, hr);
    } else {
      qrn::CheckObserver* const observer = qrn::ActiveCheckObserver();
      for (const CQRNRole* role : *roles) {
        if (role == nullptr) continue;
        if (observer == nullptr) {
          granted = cache->aclStore.AclAllows(role->roleName, object, permission);
        } else {
          const qrn::AclEntries* entries = nullptr;
          const qrn::AclEntry* decided = nullptr;
          granted =
              cache->aclStore.AclAllows(role->roleName, object, permission, &entries, &decided);
          observer->AclLookup(*role, entries, decided, granted);
        }
        if (granted) break;
      }
    }
  } catch (...) {
    granted = false;
  }

  if (audit) WriteAuthorizationRecord(user, granted);
  return granted;
}

bool CQRNAuthorize::CheckAccess(const char* object, unsigned int permission) {
  try {
    // A loaded-for name of one character is no name: the current user.
    if (cacheUser.size() >= 2) return CheckAccess(cacheUser.c_str(), object, permission);
    return CheckAccess(nullptr, object, permission);
  } catch (...) {
    return false;
  }
}

bool CQRNAuthorize::CheckAccess(const char*, const char*, unsigned int, const char*, const char*) {
  return false;
}

bool CQRNAuthorize::CheckAccess(const char*, unsigned int, const char*, const char*) {
  return false;
}

bool CQRNAuthorize::CheckRoleAccess(const char* role, const char* object, unsigned int permission) {
  try {
    if (cache == nullptr) return false;
    return cache->aclStore.AclAllows(role, object, permission);
  } catch (...) {
    return false;
  }
}
