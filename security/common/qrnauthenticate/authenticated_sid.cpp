// GetAuthenticatedIdentity, identifier form: the saved identity's security
// identifier, from winbind where it knows the account, else S-1-5-4.
#include <cstring>
#include <string>
#include <vector>

#include "platform/winbind.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/auth_credentials.h"
#include "security/common/qrnauthenticate/identity_block.h"
#include "security/common/qrnauthenticate/identity_sid.h"

namespace {

constexpr size_t kNameBufferSize = 256;

std::vector<uint8_t> IdentifierOf(const std::string& domain, const std::string& user) {
  std::string text;
  std::vector<uint8_t> sid;
  if (!domain.empty() && !user.empty() && qrn::platform::WinbindUserSid(domain, user, &text) &&
      qrn::SidFromText(text, &sid))
    return sid;
  return qrn::InteractiveSid();
}

}  // namespace

bool CQRNAuthenticate::GetAuthenticatedIdentity(uint8_t* sid, uint32_t* size) {
  try {
    // One snapshot of the block decides both the mark and the names.
    char domain[kNameBufferSize];
    char user[kNameBufferSize];
    if (size == nullptr || !GetAuthenticatedIdentity(domain, user)) return false;
    const std::vector<uint8_t> identifier = IdentifierOf(domain, user);
    const uint32_t capacity = *size;
    *size = static_cast<uint32_t>(identifier.size());
    if (sid == nullptr || capacity < identifier.size()) return false;
    std::memcpy(sid, identifier.data(), identifier.size());
    return true;
  } catch (...) {
    return false;
  }
}
