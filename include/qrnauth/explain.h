// Why did a check answer as it did? ExplainCheck makes one access check as a
// host makes it (CQRNAuthorize::InitCache, then CheckAccess) and records what
// the check itself used on its way: the user's groups and where they came
// from, each role the user holds and the user name or group that matched
// it, and the ACL entries of the object each role was looked up in, with the
// entry that decided. Nothing is decided twice: the record is filled in by
// the check as it runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qrnauth/export.h"

namespace qrn::admin {

// Where the groups of a check came from.
enum class GroupOrigin {
  kServer,          // the security server resolved them
  kDirectory,       // this computer asked the directory
  kOldServer,       // the older server's list of all the user's groups
  kNovell,          // the NovellUserInfo component (Novell clients)
  kEarlierLookup,   // the same authorizer resolved them before
  kBackupList,      // the backup group list (the resolution found none)
  kNoGroupSupport,  // "NTGroupSupport" is off: the everyone group only
  kNone,            // no groups (and no backup list to fall back on)
};

// A short English name of the origin ("server", "directory", "old server",
// "novell", "earlier lookup", "backup list", "group support off", "none").
QRNAUTH_API const char* GroupOriginName(GroupOrigin origin);

struct ExplainedRole {
  std::string name;     // the role's name
  std::string matched;  // the user name or group that matched it
  bool byUser = false;  // matched as a user member (else as a group member)
};

struct ExplainedAclEntry {
  std::string name;  // the entry's role name
  std::string mask;  // the mask as a decimal number; "" when the entry has none
};

// One role's lookup in the object's ACL: the entry that decided (an index
// into aclEntries, -1 when no entry names the role) and the answer.
struct ExplainedAclLookup {
  std::string role;
  int entry = -1;
  bool allowed = false;
};

struct CheckExplanation {
  bool loaded = false;   // the security data could be loaded
  bool granted = false;  // the check's answer
  GroupOrigin groupOrigin = GroupOrigin::kNone;
  std::vector<std::string> groups;   // as the role matching used them
  std::vector<ExplainedRole> roles;  // the roles the user holds, in role order
  // The object's ACL, in order, as the lookups saw it (empty when no role
  // was looked up, or the object has none).
  std::vector<ExplainedAclEntry> aclEntries;
  std::vector<ExplainedAclLookup> aclLookups;  // in the order the check made them
};

// user: as for CQRNAuthorize::CheckAccess; null or empty for the current
// user. Never throws; a failure to load leaves loaded false.
QRNAUTH_API CheckExplanation ExplainCheck(const char* user, const char* object,
                                          unsigned int permission);

}  // namespace qrn::admin
