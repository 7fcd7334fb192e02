// The directory group lookups with which the group resolution finds a user's
// groups on the client: domain groups, groups of a source domain that hold
// the user as a foreign security principal, and this computer's local groups.
//
// Each lookup appends entries in the text forms the resolution normalises:
//
//   GetGlobalGroups         WinNT://SALES/Operators          (its path)
//   GetNetApiGroups         WinNT://SALES/Operators          ("WinNT://" + domain + "/" + name)
//   GetForeignDomainGroups  CORP/Operators                   (short domain + "/" + cn)
//   GetLocalGroupsAdsi      WinNT://SALES/PC17/Administrators
//   GetLocalGroupsNetApi    WinNT://SALES/PC17/Administrators
//
// Text entries end with ";"; GetGlobalGroups and GetNetApiGroups put
// "Everyone;" first. Texts are UTF-8.
//
// Where the accounts come from (see docs/architecture.md, "Directory group
// lookups"): the name service (NSS) stands for the WinNT provider and the
// network API, so on a domain member winbind or sssd supply the domain's
// accounts; a domain account is spelt "DOMAIN\user" there (winbind's
// separator), a local one plain. The directory (LDAP) is the machine's
// libldap configuration (ldap.conf URI and BASE, or $LDAPURI and $LDAPBASE).
// None of these lookups throws; all run on the calling thread.
#pragma once

#include <string>
#include <vector>

#include "qrnauth/oleauto.h"

namespace qrn {

constexpr char kEveryoneGroup[] = "Everyone";
constexpr char kWinNtScheme[] = "WinNT://";

// The user's domain groups. user_path is "WinNT://" + domain + "/" + user +
// ",user". Appends "Everyone;" and then the path of each group of the
// account, each followed by ";". When the name service does not know the
// account, reports that and, with a service account configured ("ZTLUser",
// "ZTLPwd"), binds the directory with it and lists the groups whose member
// is the user's entry there. Results: 0 on success; 1 when the account cannot
// be found (nor the service-account bind made); the failing status of the
// group listing otherwise.
HRESULT GetGlobalGroups(const std::string& user_path, std::string* text);

// The network-API style fallback. On success *text is "Everyone;" followed by
// "WinNT://" + domain + "/" + group name + ";" per group and the result is
// S_OK. When the name service does not know the account, the lookup is tried
// once more over an anonymous session with the directory (ConnectIpcShare).
// On failure *text is empty and the result is the failing status with
// 0x80070000 or'ed in.
HRESULT GetNetApiGroups(const std::string& domain, const std::string& user, std::string* text);

// Opens (connect true) or closes the calling thread's anonymous session with
// the directory server `server` (a host, host:port or ldap URI). An empty
// server does nothing and gives 0. Results: 0; 53 (bad network path) when the
// server cannot be reached; 5 (access denied) when it refuses the anonymous
// bind; 2250 (no such connection) when closing one that is not open.
HRESULT ConnectIpcShare(const std::string& server, bool connect);

// Groups of a source domain that hold the user as a foreign security
// principal. source is one entry of "SourceDomainForGroups": "server/DN",
// "server" (its default naming context) or "DN" (on the machine's
// directory). Appends short-domain + "/" + cn + ";" per group found by the
// subtree search under the domain for
//   (&(objectClass=group) (member=CN=<user SID>,CN=ForeignSecurityPrincipals,<domain DN>))
// The user's SID comes from winbind, else from the objectSid of the user's
// entry in the machine's directory. Results: S_OK (also when nothing is
// found); S_FALSE when the user's SID or the domain object cannot be had
// (text untouched); E_UNEXPECTED when the search fails (entries appended
// before stay).
HRESULT GetForeignDomainGroups(const std::string& user_path, const std::string& source,
                               std::string* text);

// This computer's local groups that contain the user ("WinNT://" +
// user_path, user_path being domain + "/" + user) or, one append per entry,
// any of `entries` (entries found so far). Appends the local group's path to
// *out. 0 on success; E_FAIL when computer is not this computer.
HRESULT GetLocalGroupsAdsi(const std::string& computer, const std::string& user_path,
                           const std::vector<std::string>& entries, std::vector<std::string>* out);

// This computer's local groups of the account (directly or through one of its
// domain groups), each once, as this computer's path + "/" + name. The
// computer's path is kept for the life of the process once found. Results: 0;
// the failing status of finding the computer's path; the failing lookup's
// status with 0x80070000 or'ed in (2221: no such account).
HRESULT GetLocalGroupsNetApi(const std::string& computer, const std::string& user_path,
                             std::vector<std::string>* out);

// A binary security identifier in its string form S-1-<authority>-<sub>...;
// false when the bytes are not a well-formed identifier.
bool SidToString(const std::string& sid, std::string* text);

}  // namespace qrn
