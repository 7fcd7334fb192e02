// GetUserRolesFromCache: the roles a user holds, matched from the user's
// name and groups against every loaded role, cached per user in the
// authorizer; the user's groups are cached too, and backed up process-wide
// for the times the group resolution finds none.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "frame/config.h"
#include "frame/diagnostic_log.h"
#include "platform/os.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/qrnauthorize/check_observer.h"
#include "security/common/qrnauthorize/directory_groups.h"
#include "security/common/qrnauthorize/group_resolution.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrnauthorize/role_match.h"
#include "security/common/qrnauthorize/steps.h"
#include "security/common/role_records.h"

namespace {

using qrn::Report;
namespace steps = qrn::authorize_steps;
using qrn::kAuthorizeSource;

using RoleArray = std::vector<CQRNRole*>;

constexpr qrn::Site kSite = steps::kSite.In("InitCache.GetUserRolesFromCache");
constexpr size_t kUserNameMax = 511;

constexpr qrn::Step kR1 = {3890, "ppArrayRoles", "Checking if the return address is valid",
                           "No return value buffer"};
constexpr qrn::Step kR2 = steps::kNovellCheck.AtLine(3901);
constexpr qrn::Step kR3 = steps::kNovellName.AtLine(3907);
constexpr qrn::Step kR4 = steps::kCacheLoaded.AtLine(3943);

// The diagnostic lines, by their line numbers.
enum DiagLine : int32_t {
  kD1 = 3866,
  kD2 = 3867,
  kD3 = 3923,
  kD4 = 3932,
  kD7 = 4032,
  kD8 = 4037,
  kD9 = 4042,
  kD10 = 4076,
  kD11 = 4104,
  kD12 = 4129,
  kD13 = 4133,
};
constexpr char kD1Name[] = "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~";
constexpr char kD1Text[] = "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~";
constexpr char kD2Name[] = "Entering GetUserRolesFromCache UserName";
constexpr char kD3Name[] = "########### DumpRoleCache Called ################";
constexpr char kD4Name[] = "User role Not in cache";
constexpr char kD8Name[] = "Role checking:";
constexpr char kD9Name[] = "*********Role found:";
constexpr char kD10Head[] = "***Group ***  ";
constexpr char kD10Tail[] = " *** matched in Role :";
constexpr char kD11Name[] = "User role in cache";
constexpr char kD12Name[] = "Exception! UserName";
constexpr char kD13Name[] = "Leaving GetUserRolesFromCache UserName";

void Diag(int32_t line, const char* name, const char* text, int32_t status = 0,
          int32_t number = 0) {
  qrn::WriteDiagnosticLine("", kAuthorizeSource, line, status, name, text, number);
}

// What the matching found, told to the diagnostic log (every role it
// looked at, and what matched) and to the check's observer (the roles held).
class MatchLines : public qrn::RoleMatchObserver {
 public:
  MatchLines(bool log, qrn::CheckObserver* observer) : log_(log), observer_(observer) {}
  bool Wanted() const { return log_ || observer_ != nullptr; }
  void Role(const CQRNRole& role, const std::string* matched, bool by_user) override {
    if (log_) {
      Diag(kD8, kD8Name, role.roleName);
      if (matched != nullptr && by_user) {
        Diag(kD9, kD9Name, role.roleName);
      } else if (matched != nullptr) {
        const std::string line = kD10Head + *matched + kD10Tail;
        Diag(kD10, line.c_str(), role.roleName);
      }
    }
    if (observer_ != nullptr && matched != nullptr) observer_->RoleHeld(role, *matched, by_user);
  }

 private:
  bool log_;
  qrn::CheckObserver* observer_;
};

// The name a group takes part in the matching under.
std::string CandidateName(const std::string& group, bool qualified, const std::string& domain) {
  if (qualified || group == qrn::kEveryoneGroup) return group;
  return domain + "\\" + group;
}

}  // namespace

HRESULT CQRNAuthorize::GetUserRolesFromCache(const char* user, std::vector<CQRNRole*>** roles) {
  const HRESULT hr =
      UserRoles(qrn::platform::CutAtCharBoundary(user != nullptr ? user : "", kUserNameMax), roles);
  // The host may read the member records of the roles it receives.
  if (roles != nullptr && *roles != nullptr) {
    try {
      for (CQRNRole* role : **roles) qrn::RoleRecords::MakeMembers(role);
    } catch (...) {
      *roles = nullptr;
      return E_UNEXPECTED;
    }
  }
  return hr;
}

HRESULT CQRNAuthorize::UserRoles(std::string_view user, std::vector<CQRNRole*>** roles,
                                 const bool* known_novell) {
  // One coarse clock reading serves the "Mvtlog" change check and the
  // role-cache timer.
  const uint64_t now = qrn::platform::CoarseMillis();
  const bool log = qrn::MvtLogEnabled(now);
  // The name as a C text for the diagnostic lines, made only while they are
  // written.
  std::string user_text;
  if (log) {
    user_text.assign(user);
    Diag(kD1, kD1Name, kD1Text);
    Diag(kD2, kD2Name, user_text.c_str());
  }
  try {
    // The roles cache key: the folded name, kept for a repeated lookup. A
    // caller that found the name equal to the kept one passes the kept copy
    // itself, known by its address. Both are made before either is stored,
    // so a failed allocation never leaves one user's name with another's key.
    const bool kept = user.data() == lastRolesUser.data() && user.size() == lastRolesUser.size();
    if (!kept && lastRolesUser != user) {
      std::string key = qrn::platform::FoldCase(user);
      std::string name(user);
      lastRolesKey.swap(key);
      lastRolesUser.swap(name);
      user = lastRolesUser;  // the same text, in storage that stays
    }
    if (roles == nullptr) return Report(kSite, kR1, E_INVALIDARG);
    *roles = nullptr;

    bool novell = false;
    if (known_novell != nullptr) {
      novell = *known_novell;
    } else if (const HRESULT check = qrn::MvtIsNovellClient(&novell); FAILED(check)) {
      return Report(kSite, kR2, check);
    }
    std::string converted;
    if (novell) {
      converted.assign(user);
      const HRESULT hr = Report(kSite, kR3, qrn::ConvertToNovellUserFormat(&converted));
      if (FAILED(hr)) return hr;
      user = converted;
    }

    // The timer reads the clock itself only to arm it or to tick.
    if (timerId == 0 || now >= timerDeadlineMs) ServiceRoleCacheTimer();
    if (qrn::g_bDumpRoleCache.load(std::memory_order_relaxed)) {
      RefreshCacheUserRoles();
      RefreshCacheUserGroups();
      qrn::g_bDumpRoleCache.store(false, std::memory_order_relaxed);
      if (log) Diag(kD3, kD3Name, user_text.c_str());
    }

    if (const auto found = userRolesMap.find(lastRolesKey); found != userRolesMap.end()) {
      if (log) Diag(kD11, kD11Name, user_text.c_str());
      if (qrn::CheckObserver* observer = qrn::ActiveCheckObserver()) {
        observer->RolesFromEarlierLookup();
        for (const CQRNRole* role : *found->second)
          if (role != nullptr) observer->RoleHeld(*role, std::string(), false);
      }
      *roles = found->second;
      if (log) Diag(kD13, kD13Name, user_text.c_str());
      return S_OK;
    }

    if (log) Diag(kD4, kD4Name, user_text.c_str());
    auto array = std::make_unique<RoleArray>();
    if (cache == nullptr) return Report(kSite, kR4, E_FAIL);

    const std::string name(user);
    qrn::ResolvedGroups groups;
    const HRESULT resolved = qrn::ResolveGroups(
        name, &userGroupsMap,
        [this](const char* who, std::string& domain, std::vector<std::string>& names, int& count) {
          return GroupNames(who, domain, names, count);
        },
        &groups);
    if (FAILED(resolved)) return resolved;
    const HRESULT status = groups.status;

    // Backup lists hold names as the resolution delivered them, qualified.
    const bool qualified = novell || groupsFlag || groups.origin == qrn::GroupOrigin::kBackupList;
    std::vector<std::string> candidates;
    candidates.reserve(groups.names.size());
    for (const std::string& group : groups.names)
      candidates.push_back(CandidateName(group, qualified, groups.domain));

    qrn::CheckObserver* const observer = qrn::ActiveCheckObserver();
    if (observer != nullptr) observer->Groups(groups.origin, candidates);
    if (log) {
      std::string joined;
      for (const std::string& group : groups.names) joined += ";" + group;
      Diag(kD7, joined.c_str(), "");
    }
    MatchLines lines(log, observer);
    qrn::MatchRoles(cache->roleList, &cache->memberIndex, name, candidates, array.get(),
                    lines.Wanted() ? &lines : nullptr);

    if (!array->empty()) {
      RoleArray* stored = array.release();
      userRolesMap[lastRolesKey] = stored;
      *roles = stored;
    } else {
      // Not cached, so not owned by the map: the authorizer's one empty
      // array, emptied again in case a host wrote to it.
      emptyRoles.clear();
      *roles = &emptyRoles;
    }
    if (log) Diag(kD13, kD13Name, user_text.c_str());
    return status;
  } catch (...) {
    if (roles != nullptr) *roles = nullptr;
    if (log) Diag(kD12, kD12Name, user_text.c_str());
    return E_UNEXPECTED;
  }
}
