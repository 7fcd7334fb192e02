// The access checks: may a user exercise a permission bit on a secured
// object (through the user's roles and the object's ACL), and does a named
// role hold it. Authorization decisions are audited as the selector asks.
#include <string>
#include <vector>

#include "frame/config.h"
#include "frame/trail.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrnlog.h"

namespace {

using qrn::AddTrailEntry;
using qrn::authorizationTrail;
using qrn::kAuthorizeSource;

constexpr char kFunction[] = "CheckAccess";
// A given user name is cut to the 511 bytes of the name buffer, at a
// character boundary, like the names a load is made for.
constexpr size_t kUserNameMax = 511;

struct Report {
  int32_t line;
  const char* called;
  const char* step;
  const char* detail;
};

constexpr Report kChooseUser = {1997, "ChooseUser", "Authenticating the User",
                                "User could not be Authenticated"};
constexpr Report kNovellCheck = {2003, "MvtIsNovellClient", "Checking if the client is Novell",
                                 "Novell Client Check failure"};
constexpr Report kNovellName = {2009, "ConvertToNovellUserFormat",
                                "Converting the user name into Novell Format",
                                "Convertion to Novell User name failed"};
constexpr Report kReadRoles = {2026, "GetUserRolesFromCache", "Reading Roles from the Cache",
                               "Cannot read Roles from Cache"};
constexpr Report kNoRoles = {2032, "prolesArray", "Checking the Roles Array",
                             "Roles Array is empty"};

HRESULT Reported(const Report& report, HRESULT status) {
  return AddTrailEntry(authorizationTrail, kAuthorizeSource, report.line, kFunction, report.called,
                       report.step, status, report.detail);
}

bool AuditsAuthorization(int32_t selector) { return selector == 1 || selector == 3; }

}  // namespace

bool CQRNAuthorize::CheckAccess(const char* user, const char* object, unsigned int permission) {
  try {
    if (user != nullptr && user[0] != '\0')
      return CheckUserAccess(qrn::platform::CutAtCharBoundary(user, kUserNameMax), object,
                             permission);
    std::string name;
    const HRESULT chosen = qrn::ChooseUser(nullptr, &name);
    if (FAILED(chosen)) {
      Reported(kChooseUser, chosen);
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
      Reported(kNovellCheck, novell_check);
      return false;
    }
    novellFlag = novell ? 1 : 0;
  }
  std::string converted;
  if (novell) {
    converted.assign(user);
    if (FAILED(Reported(kNovellName, qrn::ConvertToNovellUserFormat(&converted)))) return false;
    user = converted;
  }

  const bool audit = AuditsAuthorization(qrn::Config().audit_selector);
  if (cache == nullptr) return false;

  bool granted = false;
  try {
    std::vector<CQRNRole*>* roles = nullptr;
    // The name was converted above; the flag is passed on, not read again.
    const HRESULT hr = UserRoles(user, &roles, &novell);
    if (FAILED(hr)) {
      Reported(kReadRoles, hr);
    } else if (roles == nullptr) {
      Reported(kNoRoles, hr);
    } else {
      for (const CQRNRole* role : *roles) {
        if (role == nullptr) continue;
        if (cache->aclStore.AclAllows(role->roleName, object, permission)) {
          granted = true;
          break;
        }
      }
    }
  } catch (...) {
    granted = false;
  }

  if (audit) {
    CQRNLog record;
    record.SetUser(user);
    record.SetAction(CQRNLog::kAuthorization);
    record.SetStatus(granted ? CQRNLog::kSuccess : CQRNLog::kFailed);
    record.Write();
  }
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
