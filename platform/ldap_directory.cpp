#include "platform/ldap_directory.h"

#include <ldap.h>
#include <sys/time.h>

#include <cctype>
#include <cstdio>

namespace qrn::platform {

namespace {

constexpr int kNetworkTimeoutSeconds = 5;
constexpr int kOperationTimeoutSeconds = 30;

LDAP* Handle(void* ld) { return static_cast<LDAP*>(ld); }

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The machine's configured directory URI, or "".
std::string DefaultUri() {
  char* uri = nullptr;
  if (ldap_get_option(nullptr, LDAP_OPT_URI, &uri) != LDAP_OPT_SUCCESS || uri == nullptr)
    return std::string();
  std::string text(uri);
  ldap_memfree(uri);
  return text;
}

std::string DefaultBase() {
  char* base = nullptr;
  if (ldap_get_option(nullptr, LDAP_OPT_DEFBASE, &base) != LDAP_OPT_SUCCESS || base == nullptr)
    return std::string();
  std::string text(base);
  ldap_memfree(base);
  return text;
}

}  // namespace

std::string LdapEntry::First(std::string_view attribute) const {
  const auto it = values.find(Lower(attribute));
  if (it == values.end() || it->second.empty()) return std::string();
  return it->second.front();
}

LdapSession::LdapSession() = default;

LdapSession::~LdapSession() { Close(); }

void LdapSession::Close() {
  if (ld_ != nullptr) ldap_unbind_ext_s(Handle(ld_), nullptr, nullptr);
  ld_ = nullptr;
}

int LdapSession::Open(const std::string& server) {
  Close();
  std::string uri;
  if (server.empty()) {
    uri = DefaultUri();
    if (uri.empty()) return kLdapServerDown;
  } else if (server.find("://") != std::string::npos) {
    uri = server;
  } else {
    uri = "ldap://" + server;
  }
  LDAP* ld = nullptr;
  int rc = ldap_initialize(&ld, uri.c_str());
  if (rc != LDAP_SUCCESS || ld == nullptr) return rc != LDAP_SUCCESS ? rc : kLdapServerDown;
  const int version = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  timeval network{kNetworkTimeoutSeconds, 0};
  ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network);
  timeval operation{kOperationTimeoutSeconds, 0};
  ldap_set_option(ld, LDAP_OPT_TIMEOUT, &operation);
  ld_ = ld;
  return LDAP_SUCCESS;
}

int LdapSession::Bind(const std::string& name, const std::string& password) {
  if (ld_ == nullptr) return kLdapServerDown;
  berval credentials{};
  credentials.bv_val = const_cast<char*>(password.c_str());
  credentials.bv_len = password.size();
  return ldap_sasl_bind_s(Handle(ld_), name.empty() ? nullptr : name.c_str(), LDAP_SASL_SIMPLE,
                          &credentials, nullptr, nullptr, nullptr);
}

int LdapSession::Search(const std::string& base, LdapScope scope, const std::string& filter,
                        const std::vector<std::string>& attributes,
                        std::vector<LdapEntry>* entries) {
  if (ld_ == nullptr) return kLdapServerDown;
  std::vector<char*> names;
  for (const std::string& a : attributes) names.push_back(const_cast<char*>(a.c_str()));
  names.push_back(nullptr);
  timeval timeout{kOperationTimeoutSeconds, 0};
  LDAPMessage* result = nullptr;
  const int rc = ldap_search_ext_s(
      Handle(ld_), base.c_str(), scope == LdapScope::Base ? LDAP_SCOPE_BASE : LDAP_SCOPE_SUBTREE,
      filter.c_str(), names.data(), 0, nullptr, nullptr, &timeout, 0, &result);
  for (LDAPMessage* message = result != nullptr ? ldap_first_entry(Handle(ld_), result) : nullptr;
       message != nullptr; message = ldap_next_entry(Handle(ld_), message)) {
    LdapEntry entry;
    if (char* dn = ldap_get_dn(Handle(ld_), message)) {
      entry.dn = dn;
      ldap_memfree(dn);
    }
    BerElement* cursor = nullptr;
    for (char* attribute = ldap_first_attribute(Handle(ld_), message, &cursor);
         attribute != nullptr; attribute = ldap_next_attribute(Handle(ld_), message, cursor)) {
      std::vector<std::string>& values = entry.values[Lower(attribute)];
      if (berval** found = ldap_get_values_len(Handle(ld_), message, attribute)) {
        for (berval** v = found; *v != nullptr; ++v)
          values.emplace_back((*v)->bv_val, (*v)->bv_len);
        ldap_value_free_len(found);
      }
      ldap_memfree(attribute);
    }
    if (cursor != nullptr) ber_free(cursor, 0);
    entries->push_back(std::move(entry));
  }
  if (result != nullptr) ldap_msgfree(result);
  return rc;
}

bool LdapSession::DefaultNamingContext(std::string* dn, bool configured_base) {
  const std::string configured = configured_base ? DefaultBase() : std::string();
  if (!configured.empty()) {
    *dn = configured;
    return true;
  }
  std::vector<LdapEntry> root;
  if (Search("", LdapScope::Base, "(objectClass=*)", {"defaultNamingContext", "namingContexts"},
             &root) != LDAP_SUCCESS ||
      root.empty())
    return false;
  std::string found = root.front().First("defaultNamingContext");
  if (found.empty()) found = root.front().First("namingContexts");
  if (found.empty()) return false;
  *dn = found;
  return true;
}

std::string DefaultDirectoryServer() {
  const std::string uri = DefaultUri();
  return uri.substr(0, uri.find_first_of(" \t,"));  // the first URI of the list
}

std::string EscapeFilterValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "\\%02x", static_cast<unsigned char>(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace qrn::platform
