// The process credential record: the domain, user name and password of the
// latest check or SetAuthenticationCredential, shared by every
// CQRNAuthenticate of the process, and the explicit identity built from
// them for the provider. Writers and readers of this library take
// AuthCredentialsLock() and copy what they need; a check never runs on the
// record itself, only on its own copies, so threads cannot swap credentials
// under each other. The password is wiped whenever the record is refilled
// and when the library unloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/sspi.h"

namespace qrn {

constexpr uint32_t kCredentialTextSize = 256;  // each text holds at most 255 bytes

struct AuthCredentialRecord {
  char userName[kCredentialTextSize];
  uint32_t userNameLength;
  char password[kCredentialTextSize];
  uint32_t passwordLength;
  char domain[kCredentialTextSize];
  uint32_t domainLength;
  void* accountSid;  // never set by the library; released at unload if set
  uint32_t accountSidSize;
  uint32_t accountUse;
  platform::SEC_WINNT_AUTH_IDENTITY_A identity;
  char16_t userNameWide[kCredentialTextSize];
  char16_t passwordWide[kCredentialTextSize];
  char16_t domainWide[kCredentialTextSize];
  // Set when the latest credentials were refused (a text too long): the
  // record is then empty but must not stand for the current logon, so the
  // client step and Authenticate fail until credentials are set again.
  bool refused;
  // "domain\user" of the refused credentials, cut to 255 bytes, for the
  // audit record of a later Authenticate.
  char refusedName[kCredentialTextSize];
};

// The one record of the process, and the lock its readers and writers in
// this library hold.
AuthCredentialRecord& AuthCredentials();
std::mutex& AuthCredentialsLock();

// Private copies of one set of credentials and the explicit identity (narrow
// form) that points at them. The copies are wiped when it goes away.
class CredentialCopy {
 public:
  CredentialCopy(std::string_view domain, std::string_view user, std::string_view password);
  ~CredentialCopy();
  CredentialCopy(const CredentialCopy&) = delete;
  CredentialCopy& operator=(const CredentialCopy&) = delete;

  const std::string& domain() const { return domain_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  platform::SEC_WINNT_AUTH_IDENTITY_A* identity() { return &identity_; }

 private:
  std::string domain_, user_, password_;
  platform::SEC_WINNT_AUTH_IDENTITY_A identity_{};
};

// Overwrites memory so that the compiler cannot drop the writes.
void WipeMemory(void* data, size_t size);

// The platform class of the credential form. Linux has a class of its own:
// the provider is the GSSAPI table and explicit credentials are narrow UTF-8
// texts (identity flags 1).
constexpr int kPlatformClassLinux = 5;
constexpr int PlatformClass() { return kPlatformClassLinux; }

// Source name the authentication steps report under.
constexpr char kAuthenticateSource[] = "security/common/qrnauthenticate";

}  // namespace qrn
