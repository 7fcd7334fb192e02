// The directory group lookups over the name service and the directory.
#include "security/common/qrnauthorize/directory_groups.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "frame/config.h"
#include "frame/diagnostic_log.h"
#include "frame/report.h"
#include "platform/ldap_directory.h"
#include "platform/text.h"
#include "platform/winbind.h"
#include "security/common/qrnauthorize/account_directory.h"

namespace qrn {

namespace {

constexpr char kSourceFile[] = "security/common/qrnauthorize";
constexpr Site kGlobalGroupsSite = {&authorizationTrail, kSourceFile,
                                    "InitCache.GetUserRolesFromCache.GroupNames.GetGlobalGroups"};
// The step texts name the object: the constant text with the path appended.
constexpr Step kGettingObject = {616, "ADsGetObject", "Getting the ADS Object for ",
                                 "Failed, Cannot get NT Domain groups for the user."};
constexpr Step kOpeningObject = kGettingObject.AtLine(632).WithText("Opening the ADS Object for ");
constexpr char kCannotBindUser[] = "Cannot ADsGetObject for the user!!";
constexpr char kCannotGetGroups[] = "Cannot NetGetGroups for the user!!";
constexpr int32_t kLineL1 = 613;
constexpr int32_t kLineL2 = 960;
constexpr char kForeignPrincipals[] = ",CN=ForeignSecurityPrincipals,";

HRESULT NetStatus(uint32_t code) { return static_cast<HRESULT>(code | 0x80070000u); }

// Wipes a password copy when it goes out of scope.
struct Secret {
  std::string text;
  ~Secret() {
    volatile char* p = text.data();
    for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  }
};

std::string AppendEntry(const std::string& qualifier, const std::string& name) {
  return std::string(kWinNtScheme) + qualifier + "/" + name + ";";
}

// The user's entry in the directory a session is bound to, and its groups.
struct DirectoryLookup {
  int rc = platform::kLdapSuccess;  // of the step that failed
  bool user_found = false;
  bool listed = false;
  std::vector<std::string> names;
  std::string directory_name;  // the short name of the directory's base
};

DirectoryLookup LookUpDirectoryUser(platform::LdapSession& session, const std::string& user) {
  DirectoryLookup lookup;
  std::string base;
  if (!session.DefaultNamingContext(&base)) {
    lookup.rc = platform::kLdapServerDown;
    return lookup;
  }
  lookup.directory_name = FirstRdnValue(base);
  platform::LdapEntry entry;
  lookup.rc = FindDirectoryUser(session, base, user, &entry, &lookup.user_found);
  if (!lookup.user_found) return lookup;
  lookup.rc = DirectoryGroupsOf(session, base, entry.dn, &lookup.names);
  lookup.listed = lookup.rc == platform::kLdapSuccess;
  return lookup;
}

// GetGlobalGroups' second bind: the service account against the machine's
// directory. Appends the groups; 1 when the user's entry cannot be had.
HRESULT ServiceAccountGroups(const std::string& path, const QualifiedName* user,
                             std::string* text) {
  std::string service_user;
  Secret service_password;
  if (!ReadServiceAccount(&service_user, &service_password.text)) return S_FALSE;
  const auto report = [&path](HRESULT status) {
    const std::string step = kOpeningObject.text + path;
    Report(kGlobalGroupsSite, kOpeningObject.WithText(step.c_str()), status);
    return S_FALSE;
  };
  if (user == nullptr) return report(kAdsBadPathname);
  platform::LdapSession session;
  int rc = session.Open("");
  if (rc == platform::kLdapSuccess) rc = session.Bind(service_user, service_password.text);
  if (rc != platform::kLdapSuccess) return report(LdapStatus(rc));
  const DirectoryLookup lookup = LookUpDirectoryUser(session, user->name);
  if (!lookup.user_found)
    return report(lookup.rc != platform::kLdapSuccess ? LdapStatus(lookup.rc)
                                                      : NetStatus(kNerrUserNotFound));
  if (!lookup.listed) return LdapStatus(lookup.rc);
  const std::string& qualifier = user->qualifier.empty() ? lookup.directory_name : user->qualifier;
  for (const std::string& name : lookup.names) *text += AppendEntry(qualifier, name);
  return S_OK;
}

// The anonymous directory sessions that ConnectIpcShare opened on this
// thread, by server.
std::map<std::string, std::unique_ptr<platform::LdapSession>>& ThreadSessions() {
  thread_local std::map<std::string, std::unique_ptr<platform::LdapSession>> sessions;
  return sessions;
}

// The group names of domain\user from the name service: a domain account's
// domain groups, a local account's groups. 0 or a NetAPI-style status.
uint32_t NssUserGroups(const QualifiedName& user, std::vector<platform::GroupEntry>* groups) {
  platform::Account account;
  if (!FindAccount(user, &account)) return kNerrUserNotFound;
  std::vector<platform::GroupEntry> all;
  if (!AccountGroups(account, &all)) return kErrorGenFailure;
  const bool local = IsLocalQualifier(SplitNssName(account.name).qualifier);
  for (platform::GroupEntry& group : all) {
    // A domain account's unqualified groups are this computer's local
    // groups: the local-group lookups add those.
    if (local || IsQualifiedNssName(group.name)) groups->push_back(std::move(group));
  }
  return 0;
}

}  // namespace

HRESULT GetGlobalGroups(const std::string& user_path, std::string* text) {
  try {
    *text += kEveryoneGroup;
    *text += ";";
    QualifiedName user;
    const bool parsed = ParseUserPath(user_path, &user);
    HRESULT hr = parsed ? S_OK : kAdsBadPathname;
    platform::Account account;
    if (parsed && !FindAccount(user, &account)) hr = NetStatus(kNerrUserNotFound);
    if (FAILED(hr)) {
      WriteDiagnosticLine("", kSourceFile, kLineL1, hr, kCannotBindUser, user_path.c_str(), 0);
      const std::string step = kGettingObject.text + user_path;
      Report(kGlobalGroupsSite, kGettingObject.WithText(step.c_str()), hr);
      return ServiceAccountGroups(user_path, parsed ? &user : nullptr, text);
    }
    std::vector<platform::GroupEntry> all;
    if (!AccountGroups(account, &all)) return E_FAIL;
    const std::string computer = ThisComputer();
    const bool local = IsLocalQualifier(SplitNssName(account.name).qualifier);
    for (const platform::GroupEntry& group : all) {
      const QualifiedName name = SplitNssName(group.name);
      if (!name.qualifier.empty()) {
        *text += AppendEntry(name.qualifier, name.name);
      } else if (local) {
        *text += AppendEntry(computer, name.name);
      }
    }
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT ConnectIpcShare(const std::string& server, bool connect) {
  try {
    if (server.empty()) return S_OK;
    auto& sessions = ThreadSessions();
    if (!connect) {
      if (sessions.erase(server) == 0) return static_cast<HRESULT>(kNerrUseNotFound);
      return S_OK;
    }
    auto session = std::make_unique<platform::LdapSession>();
    int rc = session->Open(server);
    if (rc == platform::kLdapSuccess) rc = session->Bind("", "");
    if (rc == platform::kLdapSuccess) {
      sessions[server] = std::move(session);
      return S_OK;
    }
    return static_cast<HRESULT>(rc < 0 ? kErrorBadNetPath : kErrorAccessDenied);
  } catch (...) {
    return E_POINTER;
  }
}

HRESULT GetNetApiGroups(const std::string& domain, const std::string& user, std::string* text) {
  text->clear();
  bool connected = false;
  const std::string controller = platform::DefaultDirectoryServer();
  try {
    const QualifiedName account{domain, user};
    std::vector<std::string> names;
    std::vector<platform::GroupEntry> groups;
    uint32_t status = NssUserGroups(account, &groups);
    if (status != 0) {
      connected = ConnectIpcShare(controller, true) == S_OK;
      if (connected) {
        auto& sessions = ThreadSessions();
        const auto session = sessions.find(controller);
        if (session != sessions.end()) {
          const DirectoryLookup lookup = LookUpDirectoryUser(*session->second, user);
          names = lookup.names;
          if (lookup.listed) {
            status = 0;
          } else if (lookup.user_found || lookup.rc != platform::kLdapSuccess) {
            status = static_cast<uint32_t>(LdapStatus(lookup.rc)) & 0xFFFFu;
          }
        } else {
          groups.clear();
          status = NssUserGroups(account, &groups);
        }
      }
    }
    if (status == 0) {
      for (const platform::GroupEntry& group : groups)
        names.push_back(SplitNssName(group.name).name);
      std::string result = std::string(kEveryoneGroup) + ";";
      for (const std::string& name : names) result += AppendEntry(domain, name);
      if (connected) ConnectIpcShare(controller, false);
      *text = std::move(result);
      return S_OK;
    }
    const HRESULT hr = NetStatus(status);
    WriteDiagnosticLine("", kSourceFile, kLineL2, hr, kCannotGetGroups, nullptr, hr);
    if (connected) ConnectIpcShare(controller, false);
    return hr;
  } catch (...) {
    if (connected) ConnectIpcShare(controller, false);
    text->clear();
    return E_UNEXPECTED;
  }
}

HRESULT GetForeignDomainGroups(const std::string& user_path, const std::string& source,
                               std::string* text) {
  try {
    // The user's security identifier.
    QualifiedName user;
    if (!ParseUserPath(user_path, &user)) return S_FALSE;
    std::string sid;
    if (!platform::WinbindUserSid(user.qualifier, user.name, &sid)) {
      platform::LdapSession own;
      std::string base;
      platform::LdapEntry entry;
      bool found = false;
      if (own.Open("") != platform::kLdapSuccess || own.Bind("", "") != platform::kLdapSuccess ||
          !own.DefaultNamingContext(&base) ||
          FindDirectoryUser(own, base, user.name, &entry, &found) != platform::kLdapSuccess ||
          !found || !SidToString(entry.First("objectSid"), &sid))
        return S_FALSE;
    }

    // The source domain object: "server/DN", "server" or "DN".
    std::string server, dn;
    const size_t slash = source.find('/');
    if (slash != std::string::npos) {
      server = source.substr(0, slash);
      dn = source.substr(slash + 1);
    } else if (source.find('=') != std::string::npos) {
      dn = source;
    } else {
      server = source;
    }
    platform::LdapSession session;
    if (session.Open(server) != platform::kLdapSuccess ||
        session.Bind("", "") != platform::kLdapSuccess)
      return S_FALSE;
    // A named server's own naming context; the machine's directory's base.
    if (dn.empty() && !session.DefaultNamingContext(&dn, server.empty())) return S_FALSE;
    std::vector<platform::LdapEntry> domain;
    if (session.Search(dn, platform::LdapScope::Base, "(objectClass=*)", {"1.1"}, &domain) !=
            platform::kLdapSuccess ||
        domain.empty())
      return S_FALSE;
    dn = domain.front().dn;
    const std::string short_name = FirstRdnValue(dn);

    const std::string filter = "(&(objectClass=group) (member=CN=" +
                               platform::EscapeFilterValue(sid + kForeignPrincipals + dn) + "))";
    std::vector<platform::LdapEntry> groups;
    const int rc = session.Search(dn, platform::LdapScope::Subtree, filter, {"cn"}, &groups);
    for (const platform::LdapEntry& group : groups) {
      const std::string cn = group.First("cn");
      if (!cn.empty()) *text += short_name + "/" + cn + ";";
    }
    return rc == platform::kLdapSuccess ? S_OK : E_UNEXPECTED;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

bool SidToString(const std::string& sid, std::string* text) {
  const auto byte = [&sid](size_t i) { return static_cast<uint8_t>(sid[i]); };
  if (sid.size() < 8 || byte(0) != 1) return false;
  const size_t count = byte(1);
  if (sid.size() != 8 + 4 * count) return false;
  uint64_t authority = 0;
  for (size_t i = 2; i < 8; ++i) authority = (authority << 8) | byte(i);
  std::string out = "S-1-" + std::to_string(authority);
  for (size_t k = 0; k < count; ++k) {
    const size_t at = 8 + 4 * k;
    const uint32_t sub =
        static_cast<uint32_t>(byte(at)) | static_cast<uint32_t>(byte(at + 1)) << 8 |
        static_cast<uint32_t>(byte(at + 2)) << 16 | static_cast<uint32_t>(byte(at + 3)) << 24;
    out += "-" + std::to_string(sub);
  }
  *text = std::move(out);
  return true;
}

}  // namespace qrn
