// GetUserRolesFromCache: the roles a user holds, matched from the user's
// name and groups against every loaded role, cached per user in the
// authorizer; the user's groups are cached too, and backed up process-wide
// for the times the group resolution finds none.
#include "security/common/qrnauthorize/user_roles.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "frame/config.h"
#include "frame/diaglog.h"
#include "frame/trail.h"
#include "platform/os.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/qrnauthorize/directory_groups.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrnauthorize/role_match.h"

namespace qrn {

GroupBackups& BackupGroupLists() {
  static GroupBackups* backups = new GroupBackups();  // lives until the library goes
  return *backups;
}

}  // namespace qrn

namespace {

using qrn::AddTrailEntry;
using qrn::authorizationTrail;
using qrn::kAuthorizeSource;

using RoleArray = std::vector<CQRNRole*>;

constexpr char kFunction[] = "InitCache.GetUserRolesFromCache";
constexpr size_t kUserNameMax = 511;
constexpr int64_t kSecondsPerMinute = 60;

struct Report {
  int32_t line;
  const char* called;
  const char* step;
  const char* detail;
};

constexpr Report kR1 = {3890, "ppArrayRoles", "Checking if the return address is valid",
                        "No return value buffer"};
constexpr Report kR2 = {3901, "MvtIsNovellClient", "Checking if the client is Novell",
                        "Novell Client Check failure"};
constexpr Report kR3 = {3907, "ConvertToNovellUserFormat",
                        "Converting the user name into Novell Format",
                        "Convertion to Novell User name failed"};
constexpr Report kR4 = {3943, "pCache", "Checking if the Cache is loaded", "Cache is not loaded"};
constexpr Report kR5 = {3955, "GroupNames", "Retrieving the groups", "Cannot get the groups"};

HRESULT Reported(const Report& report, HRESULT status) {
  return AddTrailEntry(authorizationTrail, kAuthorizeSource, report.line, kFunction, report.called,
                       report.step, status, report.detail);
}

// The diagnostic lines, by their line numbers.
enum DiagLine : int32_t {
  kD1 = 3866,
  kD2 = 3867,
  kD3 = 3923,
  kD4 = 3932,
  kD5 = 4004,
  kD6 = 4005,
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
constexpr char kD5Name[] = "Use back up groups for the user!!";
constexpr char kD6Name[] = "Group count";
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

// The name a group takes part in the matching under.
std::string CandidateName(const std::string& group, bool qualified, const std::string& domain) {
  if (qualified || group == qrn::kEveryoneGroup) return group;
  return domain + "\\" + group;
}

}  // namespace

HRESULT CQRNAuthorize::GetUserRolesFromCache(const char* user, std::vector<CQRNRole*>** roles) {
  return UserRoles(qrn::platform::CutAtCharBoundary(user != nullptr ? user : "", kUserNameMax),
                   roles);
}

HRESULT CQRNAuthorize::UserRoles(std::string_view user, std::vector<CQRNRole*>** roles,
                                 const bool* known_novell) {
  const bool log = qrn::MvtLogEnabled();
  // The name as a C text for the diagnostic lines, made only while they are
  // written.
  std::string user_text;
  if (log) {
    user_text.assign(user);
    Diag(kD1, kD1Name, kD1Text);
    Diag(kD2, kD2Name, user_text.c_str());
  }
  try {
    // The roles cache key: the folded name, kept for a repeated lookup.
    if (lastRolesUser != user) {
      lastRolesKey = qrn::platform::FoldCase(user);
      lastRolesUser.assign(user);
    }
    if (roles == nullptr) return Reported(kR1, E_INVALIDARG);
    *roles = nullptr;

    bool novell = false;
    if (known_novell != nullptr) {
      novell = *known_novell;
    } else if (const HRESULT check = qrn::MvtIsNovellClient(&novell); FAILED(check)) {
      return Reported(kR2, check);
    }
    std::string converted;
    if (novell) {
      converted.assign(user);
      const HRESULT hr = Reported(kR3, qrn::ConvertToNovellUserFormat(&converted));
      if (FAILED(hr)) return hr;
      user = converted;
    }

    ServiceRoleCacheTimer();
    if (qrn::g_bDumpRoleCache.load(std::memory_order_relaxed)) {
      RefreshCacheUserRoles();
      RefreshCacheUserGroups();
      qrn::g_bDumpRoleCache.store(false, std::memory_order_relaxed);
      if (log) Diag(kD3, kD3Name, user_text.c_str());
    }

    if (const auto found = userRolesMap.find(lastRolesKey); found != userRolesMap.end()) {
      if (log) Diag(kD11, kD11Name, user_text.c_str());
      *roles = found->second;
      if (log) Diag(kD13, kD13Name, user_text.c_str());
      return S_OK;
    }

    if (log) Diag(kD4, kD4Name, user_text.c_str());
    auto array = std::make_unique<RoleArray>();
    if (cache == nullptr) return Reported(kR4, E_FAIL);

    const std::string name(user);
    std::vector<std::string> groups;
    int count = 0;
    std::string domain;
    HRESULT status = S_OK;
    // Backup lists hold names as the resolution delivered them, qualified.
    bool from_backup = false;
    if (!qrn::Config().nt_group_support) {
      groups.emplace_back(qrn::kEveryoneGroup);
      count = 1;
    } else if (const auto cached = userGroupsMap.find(name); cached != userGroupsMap.end()) {
      groups = *cached->second;
      count = static_cast<int>(groups.size());
    } else {
      status = Reported(kR5, GroupNames(name.c_str(), domain, groups, count));
      qrn::NamedLockGuard hold(qrn::syncGroup);
      qrn::GroupBackups& backups = qrn::BackupGroupLists();
      const auto backup = backups.groups.find(name);
      const bool have_backup = backup != backups.groups.end() && !backup->second.empty();
      if (FAILED(status) && !have_backup) return status;
      // Only the first count entries take part in the matching.
      if (count >= 0 && static_cast<size_t>(count) < groups.size()) groups.resize(count);
      if (count > 0) {
        auto& slot = userGroupsMap[name];
        delete slot;
        slot = new std::vector<std::string>(groups);
        backups.groups[name] = groups;
        backups.times[name] = qrn::platform::UnixSeconds();
      } else if (have_backup) {
        if (const auto time = backups.times.find(name); time != backups.times.end()) {
          const int64_t age = (qrn::platform::UnixSeconds() - time->second) / kSecondsPerMinute;
          if (age < 0 || age < int64_t{qrn::Config().group_backup_age}) {
            groups = backup->second;
            count = static_cast<int>(groups.size());
            from_backup = true;
            Diag(kD5, kD5Name, name.c_str(), status);
            Diag(kD6, kD6Name, nullptr, status, count);
          }
        }
      }
    }
    if (count < 0) count = 0;
    if (static_cast<size_t>(count) < groups.size()) groups.resize(count);

    const bool qualified = novell || groupsFlag || from_backup;
    const CQRNRoleList& list = cache->roleList;
    if (log) {
      std::string joined;
      for (const std::string& group : groups) joined += ";" + group;
      Diag(kD7, joined.c_str(), "");
      for (CQRNRole* role : list.roles) {
        if (role == nullptr) continue;
        Diag(kD8, kD8Name, role->roleName);
        if (CQRNRoleList::HasUserMember(role, name.c_str())) {
          array->push_back(role);
          Diag(kD9, kD9Name, role->roleName);
          continue;
        }
        for (const std::string& group : groups) {
          const std::string candidate = CandidateName(group, qualified, domain);
          if (CQRNRoleList::HasGroupMember(role, candidate.c_str())) {
            array->push_back(role);
            const std::string line = kD10Head + candidate + kD10Tail;
            Diag(kD10, line.c_str(), role->roleName);
            break;
          }
        }
      }
    } else {
      // Without diagnostic lines only the outcome counts: look each name up
      // once in the member index, then take the roles in list order.
      std::vector<uint32_t> positions;
      for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0 || !cache->memberIndex || !cache->memberIndex->Fits(list))
          cache->memberIndex = std::make_shared<qrn::RoleMemberIndex>(list);
        const qrn::RoleMemberIndex& index = *cache->memberIndex;
        positions.clear();
        index.FindUser(name, &positions);
        for (const std::string& group : groups)
          index.FindGroup(CandidateName(group, qualified, domain), &positions);
        std::sort(positions.begin(), positions.end());
        positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        bool holds = true;
        for (uint32_t position : positions) holds = holds && index.Holds(list, position);
        if (holds) break;  // else a role changed since the index was built
      }
      array->reserve(positions.size());
      for (uint32_t position : positions) array->push_back(list.roles[position]);
    }

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
