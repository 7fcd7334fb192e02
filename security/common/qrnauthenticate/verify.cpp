// Credential verification: the process credential record, the in-process
// check that plays both sides of an NTLM conversation, and its audit record.
#include <cstring>
#include <string>
#include <string_view>

#include "frame/config.h"
#include "platform/sspi.h"
#include "platform/text.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/audit_text.h"
#include "security/common/qrnauthenticate/auth_credentials.h"
#include "security/common/qrnauthenticate/identity_block.h"

namespace {

std::string_view Text(const char* text) { return text == nullptr ? std::string_view() : text; }

bool AllEmpty(const char* domain, const char* user, const char* password) {
  return Text(domain).empty() && Text(user).empty() && Text(password).empty();
}

void StoreText(std::string_view text, char* field, uint32_t* length) {
  // An empty view may carry a null pointer, which memcpy must not see.
  if (!text.empty()) std::memcpy(field, text.data(), text.size());
  field[text.size()] = '\0';
  *length = static_cast<uint32_t>(text.size());
}

// A copy of a text that is wiped when it goes away.
struct SecretCopy {
  std::string text;
  explicit SecretCopy(const char* source) : text(source) {}
  ~SecretCopy() {
    if (!text.empty()) qrn::WipeMemory(text.data(), text.size());
  }
};

}  // namespace

bool CQRNAuthenticate::SetAuthenticationCredential(const char* domain, const char* user,
                                                   const char* password) {
  try {
    useCurrentUser = AllEmpty(domain, user, password);
    qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
    // The old password goes first, whatever follows.
    qrn::WipeMemory(record.userName, sizeof record.userName);
    qrn::WipeMemory(record.password, sizeof record.password);
    qrn::WipeMemory(record.domain, sizeof record.domain);
    record.userNameLength = record.passwordLength = record.domainLength = 0;
    qrn::WipeMemory(&record.identity, sizeof record.identity);
    qrn::WipeMemory(record.userNameWide, sizeof record.userNameWide);
    qrn::WipeMemory(record.passwordWide, sizeof record.passwordWide);
    qrn::WipeMemory(record.domainWide, sizeof record.domainWide);

    std::string_view d = Text(domain), u = Text(user), p = Text(password);
    // Cutting a name or a password would check other credentials than the
    // caller's: an overlong text leaves the record empty and fails.
    if (d.size() >= qrn::kCredentialTextSize || u.size() >= qrn::kCredentialTextSize ||
        p.size() >= qrn::kCredentialTextSize) {
      return false;
    }
    StoreText(d, record.domain, &record.domainLength);
    StoreText(u, record.userName, &record.userNameLength);
    StoreText(p, record.password, &record.passwordLength);
    record.identity.UserLength = record.userNameLength;
    record.identity.DomainLength = record.domainLength;
    record.identity.PasswordLength = record.passwordLength;

    // Linux's platform class uses the native narrow form (UTF-8, flags 1);
    // the wide buffers stay clear.
    record.identity.User = reinterpret_cast<unsigned char*>(record.userName);
    record.identity.Domain = reinterpret_cast<unsigned char*>(record.domain);
    record.identity.Password = reinterpret_cast<unsigned char*>(record.password);
    record.identity.Flags = qrn::platform::SEC_WINNT_AUTH_IDENTITY_ANSI;
    return true;
  } catch (...) {
    return false;
  }
}

bool CQRNAuthenticate::AuthenticateUser(const char* domain, const char* user,
                                        const char* password) {
  try {
    useCurrentUser = AllEmpty(domain, user, password);
    return SSPAuthenticateUser(domain, user, password);
  } catch (...) {
    return false;
  }
}

bool CQRNAuthenticate::Authenticate() {
  try {
    // The record is refilled by the check: work from copies of its texts.
    qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
    SecretCopy domain(record.domain), user(record.userName), password(record.password);
    return SSPAuthenticateUser(domain.text.c_str(), user.text.c_str(), password.text.c_str());
  } catch (...) {
    return false;
  }
}

bool CQRNAuthenticate::SSPAuthenticateUser(const char* domain, const char* user,
                                           const char* password) {
  try {
    bool novell = false;
    qrn::MvtIsNovellClient(&novell);
    bool stored = SetAuthenticationCredential(domain, user, password);
    if (securityFunctions == nullptr) {
      // The provider did not load: this object answers no check.
      WriteLog(false);
      return false;
    }
    if (novell) {
      // Named credentials are not verified on a Novell client.
      bool answer = useCurrentUser || qrn::ReadIdentityBlock().os_user_mark == 1;
      WriteLog(answer);
      return answer;
    }
    clientSeq.newConversation = 1;
    serverSeq.newConversation = 1;
    if (useCurrentUser) {
      WriteLog(true);
      return true;
    }
    bool ok = stored;
    outTokenLength = tokenBufferSize;
    ok = ok && GenClientContext();  // negotiate
    auto hand_over = [this] {
      inTokenLength = outTokenLength;
      outTokenLength = tokenBufferSize;
    };
    if (ok) hand_over();
    ok = ok && GenServerContext();  // challenge
    if (ok) hand_over();
    ok = ok && GenClientContext();  // authenticate
    if (ok) hand_over();
    ok = ok && GenServerContext();  // acceptance
    WriteLog(ok);
    return ok;
  } catch (...) {
    return false;
  }
}

void CQRNAuthenticate::WriteLog(bool success) {
  bool novell = false;
  qrn::MvtIsNovellClient(&novell);
  int32_t selector = qrn::Config().audit_selector;
  if (selector != 1 && selector != 2) return;
  const qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
  std::string user = qrn::AuditUserText(useCurrentUser, record.domain, record.userName);
  qrn::SendAuthenticationAudit(user, success);
}
