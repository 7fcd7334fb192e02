// The first half of the role lookup: the groups a user's roles are matched
// with. Group support off: only the everyone group. Else the groups this
// authorizer resolved for the name before, else a new resolution
// (GroupNames), kept for the name and as the process-wide backup list; when
// the resolution finds none, a backup list younger than "GroupBackupAge".
#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "qrnauth/oleauto.h"
#include "security/common/qrnauthorize/check_observer.h"

namespace qrn {

struct ResolvedGroups {
  std::vector<std::string> names;  // as delivered: only these take part
  std::string domain;              // the user's domain, from the resolution
  GroupOrigin origin = GroupOrigin::kNone;
  HRESULT status = S_OK;  // the resolution's status
};

// The groups each user name was resolved to by one authorizer (owned).
using KnownUserGroups = std::unordered_map<std::string, std::vector<std::string>*>;
// GroupNames of the authorizer: (user, domain out, groups out, count out).
using GroupNamesCall =
    std::function<HRESULT(const char*, std::string&, std::vector<std::string>&, int&)>;

// Fills *out; a failed status with no backup list to fall back on is
// returned (and nothing matches), else S_OK with out->status the
// resolution's own. Reports the resolution's failure to the trail and, when
// log, the use of a backup list to the diagnostic log.
HRESULT ResolveGroups(const std::string& name, KnownUserGroups* known,
                      const GroupNamesCall& group_names, ResolvedGroups* out);

}  // namespace qrn
