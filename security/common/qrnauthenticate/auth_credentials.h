// The process credential record: the domain, user name and password of the
// latest check or SetAuthenticationCredential, shared by every
// CQRNAuthenticate of the process, and the explicit identity built from
// them for the provider. Unlocked: objects on different threads see each
// other's values. The password is wiped whenever the record is refilled and
// when the library unloads.
#pragma once

#include <cstddef>
#include <cstdint>

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
};

// The one record of the process.
AuthCredentialRecord& AuthCredentials();

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
