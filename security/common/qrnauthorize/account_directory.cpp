#include "security/common/qrnauthorize/account_directory.h"

#include <algorithm>

#include "platform/os.h"
#include "platform/text.h"
#include "platform/winbind.h"
#include "security/common/qrnauthorize/directory_groups.h"

namespace qrn {

namespace {

constexpr char kDefaultWorkgroup[] = "WORKGROUP";

bool StartsWithNoCase(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         platform::EqualsNoCase(std::string_view(text).substr(0, prefix.size()), prefix);
}

// Drops a trailing ",user", ",group", ",computer" (the class of a path).
std::string WithoutClass(std::string path) {
  const size_t comma = path.rfind(',');
  if (comma != std::string::npos && path.find('/', comma) == std::string::npos) path.resize(comma);
  return path;
}

}  // namespace

bool ParseUserPath(const std::string& path, QualifiedName* user) {
  if (!StartsWithNoCase(path, kWinNtScheme)) return false;
  const std::string rest = WithoutClass(path.substr(sizeof(kWinNtScheme) - 1));
  const size_t slash = rest.find('/');
  if (slash == std::string::npos) return false;
  user->qualifier = rest.substr(0, slash);
  user->name = rest.substr(slash + 1);
  return !user->name.empty() && user->name.find('/') == std::string::npos;
}

QualifiedName ParseMemberPath(const std::string& path) {
  std::string rest = path;
  if (StartsWithNoCase(rest, kWinNtScheme)) rest.erase(0, sizeof(kWinNtScheme) - 1);
  rest = WithoutClass(rest);
  QualifiedName result;
  const size_t last = rest.rfind('/');
  if (last == std::string::npos) {
    result.name = rest;
    return result;
  }
  result.name = rest.substr(last + 1);
  const std::string before = rest.substr(0, last);
  const size_t previous = before.rfind('/');
  result.qualifier = previous == std::string::npos ? before : before.substr(previous + 1);
  return result;
}

QualifiedName SplitNssName(const std::string& name) {
  QualifiedName result;
  size_t separator = name.find(platform::WinbindSeparator());
  if (separator == std::string::npos) separator = name.find('\\');
  if (separator == std::string::npos) {
    result.name = name;
  } else {
    result.qualifier = name.substr(0, separator);
    result.name = name.substr(separator + 1);
  }
  return result;
}

bool IsQualifiedNssName(const std::string& name) {
  return name.find(platform::WinbindSeparator()) != std::string::npos ||
         name.find('\\') != std::string::npos || name.find('@') != std::string::npos;
}

std::string ThisComputer() {
  std::string name;
  return platform::ComputerName(&name) ? name : std::string();
}

std::string ThisComputerDomain() {
  std::string domain;
  return platform::WinbindMachineDomain(&domain) ? domain : kDefaultWorkgroup;
}

bool IsThisComputer(const std::string& name) {
  const std::string computer = ThisComputer();
  return !computer.empty() && platform::EqualsNoCase(name, computer);
}

bool IsLocalQualifier(const std::string& qualifier) {
  return qualifier.empty() || IsThisComputer(qualifier);
}

bool FindAccount(const QualifiedName& user, platform::Account* account) {
  if (user.name.empty()) return false;
  // A domain account is only ever found under its domain: a local account
  // of the same name is someone else.
  if (!user.qualifier.empty()) {
    const char separator = platform::WinbindSeparator();
    if (platform::AccountByName(user.qualifier + separator + user.name, account)) return true;
    if (separator != '\\' && platform::AccountByName(user.qualifier + '\\' + user.name, account))
      return true;
  }
  return IsLocalQualifier(user.qualifier) && platform::AccountByName(user.name, account);
}

bool AccountGroups(const platform::Account& account, std::vector<platform::GroupEntry>* groups) {
  std::vector<uint32_t> gids;
  if (!platform::GroupIdsOfAccount(account, &gids)) return false;
  for (const uint32_t gid : gids) {
    platform::GroupEntry group;
    if (platform::GroupById(gid, &group)) groups->push_back(std::move(group));
  }
  return true;
}

HRESULT LdapStatus(int ldap_result) {
  // The Win32 codes a directory provider gives for these outcomes.
  switch (ldap_result) {
    case platform::kLdapSuccess:
      return S_OK;
    case platform::kLdapServerDown:
      return HRESULT_FROM_WIN32(8250);  // the server is not operational
    case platform::kLdapInvalidCredentials:
      return HRESULT_FROM_WIN32(1326);  // logon failure
    case 32:
      return HRESULT_FROM_WIN32(8240);  // no such object
    case 50:
      return HRESULT_FROM_WIN32(8344);  // insufficient access rights
    default:
      return HRESULT_FROM_WIN32(8341);  // generic directory error
  }
}

int FindDirectoryUser(platform::LdapSession& session, const std::string& base,
                      const std::string& user, platform::LdapEntry* entry, bool* found) {
  const std::string value = platform::EscapeFilterValue(user);
  std::vector<platform::LdapEntry> entries;
  const int rc = session.Search(base, platform::LdapScope::Subtree,
                                "(|(sAMAccountName=" + value + ")(uid=" + value + "))",
                                {"objectSid", "sAMAccountName", "uid"}, &entries);
  *found = rc == platform::kLdapSuccess && !entries.empty();
  if (*found) *entry = entries.front();
  return rc;
}

int DirectoryGroupsOf(platform::LdapSession& session, const std::string& base,
                      const std::string& dn, std::vector<std::string>* names) {
  std::vector<platform::LdapEntry> entries;
  const int rc = session.Search(
      base, platform::LdapScope::Subtree,
      "(&(objectClass=group)(member=" + platform::EscapeFilterValue(dn) + "))", {"cn"}, &entries);
  if (rc != platform::kLdapSuccess) return rc;
  for (const platform::LdapEntry& entry : entries) {
    const std::string cn = entry.First("cn");
    if (!cn.empty()) names->push_back(cn);
  }
  return rc;
}

std::string FirstRdnValue(const std::string& dn) {
  // The first RDN ends at the first unescaped ",".
  size_t end = 0;
  while (end < dn.size() && dn[end] != ',') end += dn[end] == '\\' ? 2 : 1;
  const std::string rdn = dn.substr(0, std::min(end, dn.size()));
  const size_t equals = rdn.find('=');
  return equals == std::string::npos ? rdn : rdn.substr(equals + 1);
}

}  // namespace qrn
