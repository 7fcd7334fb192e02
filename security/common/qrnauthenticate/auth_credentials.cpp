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

void WipeMemory(void* data, size_t size) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (size-- > 0) *p++ = 0;
}

}  // namespace qrn
