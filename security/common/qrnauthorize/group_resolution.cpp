// The groups a user's roles are matched with; see group_resolution.h.
#include "security/common/qrnauthorize/group_resolution.h"

#include "frame/config.h"
#include "frame/diagnostic_log.h"
#include "platform/os.h"
#include "security/common/qrnauthorize/backup_group_lists.h"
#include "security/common/qrnauthorize/directory_groups.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrnauthorize/steps.h"

namespace qrn {

GroupBackups& BackupGroupLists() {
  static GroupBackups* backups = new GroupBackups();  // lives until the library goes
  return *backups;
}

namespace {

constexpr Site kSite = authorize_steps::kSite.In("InitCache.GetUserRolesFromCache");
constexpr Step kGroupNames = {3955, "GroupNames", "Retrieving the groups", "Cannot get the groups"};
constexpr int32_t kBackupLine = 4004;
constexpr int32_t kBackupCountLine = 4005;
constexpr char kBackupName[] = "Use back up groups for the user!!";
constexpr char kBackupCountName[] = "Group count";
constexpr int64_t kSecondsPerMinute = 60;

}  // namespace

HRESULT ResolveGroups(const std::string& name, KnownUserGroups* known,
                      const GroupNamesCall& group_names, ResolvedGroups* out) {
  std::vector<std::string>& groups = out->names;
  if (!NtGroupSupport()) {
    groups.assign(1, kEveryoneGroup);
    out->origin = GroupOrigin::kNoGroupSupport;
    return S_OK;
  }
  if (const auto cached = known->find(name); cached != known->end()) {
    groups = *cached->second;
    out->origin = GroupOrigin::kEarlierLookup;
    return S_OK;
  }

  int count = 0;
  const HRESULT status =
      Report(kSite, kGroupNames, group_names(name.c_str(), out->domain, groups, count));
  out->status = status;
  out->origin = GroupOrigin::kResolved;
  NamedLockGuard hold(syncGroup);
  GroupBackups& backups = BackupGroupLists();
  const auto backup = backups.groups.find(name);
  const bool have_backup = backup != backups.groups.end() && !backup->second.empty();
  if (FAILED(status) && !have_backup) return status;
  // Only the first count entries take part in the matching.
  if (count >= 0 && static_cast<size_t>(count) < groups.size()) groups.resize(count);
  if (count > 0) {
    auto& slot = (*known)[name];
    delete slot;
    slot = new std::vector<std::string>(groups);
    backups.groups[name] = groups;
    backups.times[name] = platform::UnixSeconds();
  } else if (have_backup) {
    if (const auto time = backups.times.find(name); time != backups.times.end()) {
      const int64_t age = (platform::UnixSeconds() - time->second) / kSecondsPerMinute;
      if (age < 0 || age < int64_t{GroupBackupAge()}) {
        groups = backup->second;
        count = static_cast<int>(groups.size());
        out->origin = GroupOrigin::kBackupList;
        WriteDiagnosticLine("", kAuthorizeSource, kBackupLine, status, kBackupName, name.c_str(),
                            0);
        WriteDiagnosticLine("", kAuthorizeSource, kBackupCountLine, status, kBackupCountName,
                            nullptr, count);
      }
    }
  }
  if (count < 0) count = 0;
  if (static_cast<size_t>(count) < groups.size()) groups.resize(count);
  if (groups.empty()) out->origin = GroupOrigin::kNone;
  return S_OK;
}

}  // namespace qrn
