// The saved identity: SaveIdentity writes the shared identity block from the
// process credential record, ReadIdentity brings the block back into the
// record, GetAuthenticatedIdentity gives the saved identity as names.
#include <cstring>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/auth_credentials.h"
#include "security/common/qrnauthenticate/identity_block.h"

namespace {

constexpr uint32_t kOsUserMark = 1;
constexpr size_t kNameBufferSize = 256;

// A text of the record, never past its field.
std::string_view RecordText(const char* field) {
  return std::string_view(field, strnlen(field, qrn::kCredentialTextSize - 1));
}

// A copy of a secret text that is wiped when it goes away.
struct SecretText {
  std::string text;
  explicit SecretText(std::string_view source) : text(source) {}
  ~SecretText() {
    if (!text.empty()) qrn::WipeMemory(text.data(), text.size());
  }
};

// Replaces one text of the record, wiping the old bytes. The record's length
// follows the text, and so does the explicit identity's length when an
// explicit identity is in use (it points at this field): a shorter text must
// not leave the provider reading the tail of the old one. A record that stands
// for the current logon (no explicit identity) stays so.
void StoreRecordText(std::string_view text, char* field, uint32_t* length,
                     uint32_t* identity_length, bool identity_in_use) {
  const std::string_view cut = qrn::platform::CutAtCharBoundary(text, qrn::kCredentialTextSize - 1);
  qrn::WipeMemory(field, qrn::kCredentialTextSize);
  std::memcpy(field, cut.data(), cut.size());
  *length = static_cast<uint32_t>(cut.size());
  if (identity_in_use) *identity_length = *length;
}

// ReadIdentity over one snapshot of the block, so that a caller can act on
// the same mark that decided the answer. The caller holds
// AuthCredentialsLock(), since checks on other threads copy the record.
bool BringIntoRecord(bool use_current_user, const qrn::SavedIdentity& block) {
  qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
  const bool identity_in_use = record.identity.User != nullptr && record.identity.UserLength != 0;
  const bool marked = block.os_user_mark == kOsUserMark;
  const bool named = !block.user.empty() && !block.domain.empty();
  if (use_current_user) {
    // An empty block holds no identity, whoever asks.
    if (!marked && !named) return false;
    StoreRecordText(block.user, record.userName, &record.userNameLength,
                    &record.identity.UserLength, identity_in_use);
    StoreRecordText(block.domain, record.domain, &record.domainLength,
                    &record.identity.DomainLength, identity_in_use);
    return true;
  }
  if (marked) return true;
  if (!named) return false;
  StoreRecordText(block.user, record.userName, &record.userNameLength, &record.identity.UserLength,
                  identity_in_use);
  StoreRecordText(block.password, record.password, &record.passwordLength,
                  &record.identity.PasswordLength, identity_in_use);
  StoreRecordText(block.domain, record.domain, &record.domainLength, &record.identity.DomainLength,
                  identity_in_use);
  // Whole credentials were set again: an earlier refusal no longer holds.
  record.refused = false;
  return true;
}

void CopyName(std::string_view text, char* buffer) {
  const std::string_view cut = qrn::platform::CutAtCharBoundary(text, kNameBufferSize - 1);
  std::memcpy(buffer, cut.data(), cut.size());
  buffer[cut.size()] = '\0';
}

}  // namespace

bool CQRNAuthenticate::SaveIdentity() {
  try {
    if (useCurrentUser) {
      qrn::WriteOsUserMark(kOsUserMark);
      return true;
    }
    std::string user, domain;
    SecretText password("");
    {
      const std::lock_guard<std::mutex> hold(qrn::AuthCredentialsLock());
      const qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
      password.text.assign(RecordText(record.password));
      user.assign(RecordText(record.userName));
      domain.assign(RecordText(record.domain));
    }
    qrn::WriteIdentity(user, password.text, domain, 0);
    return true;
  } catch (...) {
    return true;
  }
}

bool CQRNAuthenticate::ReadIdentity() {
  try {
    const qrn::SavedIdentity block = qrn::ReadIdentityBlock();
    const std::lock_guard<std::mutex> hold(qrn::AuthCredentialsLock());
    return BringIntoRecord(useCurrentUser, block);
  } catch (...) {
    return false;
  }
}

bool CQRNAuthenticate::GetAuthenticatedIdentity(char* domain, char* user) {
  try {
    if (domain == nullptr || user == nullptr) return false;
    const qrn::SavedIdentity block = qrn::ReadIdentityBlock();
    {
      const std::lock_guard<std::mutex> hold(qrn::AuthCredentialsLock());
      if (!BringIntoRecord(useCurrentUser, block)) return false;
      if (block.os_user_mark != kOsUserMark) {
        const qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
        CopyName(RecordText(record.domain), domain);
        CopyName(RecordText(record.userName), user);
        return true;
      }
    }
    return GetCurrentUserInfo(domain, user);
  } catch (...) {
    return false;
  }
}
