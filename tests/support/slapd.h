// A real slapd for tests: started on a free loopback port with a small
// schema (core, cosine and a few directory classes: user, group, container,
// foreignSecurityPrincipal, with objectSid and sAMAccountName), one ldif
// database per suffix, loaded with slapadd before the start; stopped when the
// object goes away. Tests must not rely on any system slapd.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace qrn::test {

struct SlapdDatabase {
  std::string suffix;  // e.g. "DC=SALES,DC=example"
  std::string ldif;    // entries, the suffix entry first
  std::string access;  // slapd.conf access lines; "" = everyone reads
};

class Slapd {
 public:
  explicit Slapd(const std::vector<SlapdDatabase>& databases);
  ~Slapd();
  Slapd(const Slapd&) = delete;
  Slapd& operator=(const Slapd&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  std::string host_port() const;  // "127.0.0.1:port"
  std::string uri() const;        // "ldap://127.0.0.1:port"
  // The root account of a database: "cn=admin," + suffix, password "secret".
  static std::string RootDn(const std::string& suffix);

 private:
  bool Start(const std::string& config);
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
};

// Base64 of raw bytes, for binary ldif values ("attr:: base64").
std::string Base64(const std::string& bytes);
// A binary SID S-1-5-21-a-b-c-rid.
std::string MakeSid(uint32_t a, uint32_t b, uint32_t c, uint32_t rid);

}  // namespace qrn::test
