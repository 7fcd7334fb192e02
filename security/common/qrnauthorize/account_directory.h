// How directory paths and names of the lookups map onto the name service and
// the directory: "WinNT://DOMAIN/user,user" paths, NSS spellings of domain
// accounts ("DOMAIN\user"), and the user's and groups' entries in LDAP.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/ldap_directory.h"
#include "platform/nss_groups.h"
#include "qrnauth/oleauto.h"

namespace qrn {

// Win32 and directory statuses the lookups report.
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorBadNetPath = 53;
constexpr uint32_t kNerrUserNotFound = 2221;
constexpr uint32_t kNerrUseNotFound = 2250;
constexpr HRESULT kAdsBadPathname = static_cast<HRESULT>(0x80005008);

// A qualifier (domain or computer) and a name.
struct QualifiedName {
  std::string qualifier;
  std::string name;
};

// "WinNT://DOMAIN/user,user" (the ",user" optional): false without the
// scheme or the "/" after the domain.
bool ParseUserPath(const std::string& path, QualifiedName* user);

// A member path or entry as the lookups meet them ("WinNT://SALES/bob",
// "WinNT://SALES/PC17/Admins", "CORP/Operators", "Everyone"): the scheme and
// a ",class" suffix dropped, the name after the last "/", the qualifier the
// part before it back to the previous "/".
QualifiedName ParseMemberPath(const std::string& path);

// An NSS name split at winbind's separator ("SALES\bob"); unqualified names
// come back with an empty qualifier.
QualifiedName SplitNssName(const std::string& name);
bool IsQualifiedNssName(const std::string& name);

// This computer's name ("" when unknown) and the domain or workgroup it
// belongs to (winbind's domain, else "WORKGROUP").
std::string ThisComputer();
std::string ThisComputerDomain();
bool IsThisComputer(const std::string& name);

// A local account is one with no qualifier or this computer's name.
bool IsLocalQualifier(const std::string& qualifier);

// The NSS account of domain\user: "DOMAIN\user" for a domain, the plain name
// for a local account. False when the name service does not know it.
bool FindAccount(const QualifiedName& user, platform::Account* account);

// The NSS groups of an account (primary group included, in the name
// service's order). False when they cannot be listed.
bool AccountGroups(const platform::Account& account, std::vector<platform::GroupEntry>* groups);

// Statuses of libldap as the directory provider reports them (HRESULTs).
HRESULT LdapStatus(int ldap_result);

// The user's entry in the directory the session is bound to, under base:
// the entry whose sAMAccountName or uid is the name. Returns the LDAP result;
// *found tells whether there was such an entry.
int FindDirectoryUser(platform::LdapSession& session, const std::string& base,
                      const std::string& user, platform::LdapEntry* entry, bool* found);

// The common names of the groups (objectClass group) under base whose member
// is dn, in the server's order.
int DirectoryGroupsOf(platform::LdapSession& session, const std::string& base,
                      const std::string& dn, std::vector<std::string>* names);

// The value of a DN's first RDN ("DC=CORP,DC=example" gives "CORP").
std::string FirstRdnValue(const std::string& dn);

}  // namespace qrn
