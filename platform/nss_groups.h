// Groups of the name service (NSS: /etc/group, winbind, sssd, ...).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/accounts.h"

namespace qrn::platform {

struct GroupEntry {
  std::string name;  // as the name service spells it, e.g. "SALES\Operators" or "staff"
  uint32_t gid = 0;
  std::vector<std::string> members;  // the names listed in the group
};

// getgrouplist: every group id of the account, its primary group first.
// False when the name service cannot list them.
bool GroupIdsOfAccount(const Account& account, std::vector<uint32_t>* gids);

// getgrgid_r. False when no group has the id.
bool GroupById(uint32_t gid, GroupEntry* group);

// Every group the name service enumerates (getgrent_r), in its order. The
// enumeration cursor is process-wide, so enumerations are serialised.
std::vector<GroupEntry> AllGroups();

}  // namespace qrn::platform
