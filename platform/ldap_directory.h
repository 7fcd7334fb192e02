// A directory (LDAP) client session over OpenLDAP's libldap.
//
// The directory of this machine is the one libldap's own configuration
// names: URI and BASE of ldap.conf, or $LDAPURI and $LDAPBASE. Sessions use
// LDAPv3, do not chase referrals, and give up on a server that does not
// answer within a few seconds. Results are libldap result codes: 0 success,
// positive codes from the server, negative codes from the client (for example
// LDAP_SERVER_DOWN, -1, when nothing answers).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qrn::platform {

constexpr int kLdapSuccess = 0;
constexpr int kLdapServerDown = -1;
constexpr int kLdapInvalidCredentials = 49;

struct LdapEntry {
  std::string dn;
  // Attribute name in lower case -> its values (binary values as they are).
  std::map<std::string, std::vector<std::string>> values;
  // The first value of an attribute (name in any case), or "".
  std::string First(std::string_view attribute) const;
};

enum class LdapScope { Base, Subtree };

class LdapSession {
 public:
  LdapSession();
  ~LdapSession();
  LdapSession(const LdapSession&) = delete;
  LdapSession& operator=(const LdapSession&) = delete;

  // server: "host", "host:port", an ldap://, ldaps:// or ldapi:// URI, or ""
  // for the machine's directory. kLdapServerDown when "" and no directory is
  // configured. Nothing is sent yet.
  int Open(const std::string& server);
  bool IsOpen() const { return ld_ != nullptr; }
  // Simple bind; an empty name and password bind anonymously.
  int Bind(const std::string& name, const std::string& password);
  // Searches and collects the entries (and the values of the attributes
  // asked for). Entries already collected stay in *entries on failure.
  int Search(const std::string& base, LdapScope scope, const std::string& filter,
             const std::vector<std::string>& attributes, std::vector<LdapEntry>* entries);
  // The base of the machine's directory (ldap.conf BASE, $LDAPBASE; only when
  // configured_base is true), else the server's defaultNamingContext, else
  // its first namingContexts value.
  bool DefaultNamingContext(std::string* dn, bool configured_base = true);
  void Close();

 private:
  void* ld_ = nullptr;
};

// The first URI of the machine's directory ("ldap://host:port"), "" when no
// directory is configured.
std::string DefaultDirectoryServer();

// Escapes a value for use inside a search filter: *, (, ), \ and NUL become
// \2a, \28, \29, \5c and \00.
std::string EscapeFilterValue(std::string_view value);

}  // namespace qrn::platform
