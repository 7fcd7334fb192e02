// The library's own access to the members of loaded roles. An authorizer
// loads its role list with the member records left unmade: a role keeps its
// member names in the text they were decrypted to, which costs a few bytes
// per name instead of a record each, and makes the records when the role is
// first handed to a host (GetRolesCache, GetRoleInfo, GetUserRolesFromCache).
// The matching and the group sources read the names directly, made or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "qrnauth/qrnrole.h"
#include "qrnauth/qrnxml.h"

namespace qrn {

struct RoleRecords {
  // CQRNRoleList::GetRoleFromWeb without making the member records.
  static void LoadDeferred(CQRNRoleList* list, uint8_t use_given, IQrnXml2* document);

  // Makes the member records a role still lacks, in the order of its lists.
  // Safe to call from several threads; a role made once is never made
  // again. A failed allocation leaves the role unmade and is thrown.
  static void MakeMembers(CQRNRole* role);
  static void MakeMembers(CQRNRoleList* list);

  // The user (group) member count of a role: its records once made, else
  // the names it was loaded with.
  static size_t MemberCount(const CQRNRole& role, bool users);

  // Calls visit with each user (group) member's name, as its record holds it
  // (cut to the record's size), in list order: from the records once made,
  // else from the loaded names. Null records are skipped.
  static void ForEachMember(const CQRNRole& role, bool users,
                            const std::function<void(std::string_view)>& visit);
};

}  // namespace qrn
