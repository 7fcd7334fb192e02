#include "security/common/qrnauthenticate/auth_credentials.h"

#include <cstdlib>
#include <cstring>

namespace qrn {
namespace {

// Wipes the record when the library unloads (static destruction).
struct CredentialHolder {
  AuthCredentialRecord record{};
  ~CredentialHolder() {
    if (record.accountSid != nullptr) std::free(record.accountSid);
    WipeMemory(&record, sizeof record);
  }
};

}  // namespace

AuthCredentialRecord& AuthCredentials() {
  static CredentialHolder holder;
  return holder.record;
}

std::mutex& AuthCredentialsLock() {
  // Never destroyed: the record may be used from static destructors.
  static std::mutex* lock = new std::mutex;
  return *lock;
}

CredentialCopy::CredentialCopy(std::string_view domain, std::string_view user,
                               std::string_view password)
    : domain_(domain), user_(user), password_(password) {
  identity_.User = reinterpret_cast<unsigned char*>(user_.data());
  identity_.UserLength = static_cast<uint32_t>(user_.size());
  identity_.Domain = reinterpret_cast<unsigned char*>(domain_.data());
  identity_.DomainLength = static_cast<uint32_t>(domain_.size());
  identity_.Password = reinterpret_cast<unsigned char*>(password_.data());
  identity_.PasswordLength = static_cast<uint32_t>(password_.size());
  identity_.Flags = platform::SEC_WINNT_AUTH_IDENTITY_ANSI;
}

CredentialCopy::~CredentialCopy() {
  WipeMemory(password_.data(), password_.size());
  WipeMemory(&identity_, sizeof identity_);
}

void WipeMemory(void* data, size_t size) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (size-- > 0) *p++ = 0;
}

}  // namespace qrn
