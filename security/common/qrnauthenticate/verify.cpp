// Credential verification: the process credential record, the in-process
// check that plays both sides of an NTLM conversation, and its audit record.
//
// Every check runs its conversation on its own copies of the credentials it
// was given; the process record is refilled as well (under its lock) for the
// operations that read it later, but no check reads it back mid-conversation.
#include <cstring>
#include <mutex>
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

bool Fits(std::string_view text) { return text.size() < qrn::kCredentialTextSize; }

void StoreText(std::string_view text, char* field, uint32_t* length) {
  // An empty view may carry a null pointer, which memcpy must not see.
  if (!text.empty()) std::memcpy(field, text.data(), text.size());
  field[text.size()] = '\0';
  *length = static_cast<uint32_t>(text.size());
}

// Sends the audit record of one answer, when audit records are on. The
// per-process flags are loaded first, as for every check.
void AuditAs(bool success, const std::string& user_text) {
  bool novell = false;
  qrn::MvtIsNovellClient(&novell);
  int32_t selector = qrn::AuditSelector();
  if (selector != 1 && selector != 2) return;
  qrn::SendAuthenticationAudit(user_text, success);
}

void Audit(bool success, bool use_current_user, const char* domain, const char* user) {
  AuditAs(success, qrn::AuditUserText(use_current_user, domain, user));
}

}  // namespace

bool CQRNAuthenticate::SetAuthenticationCredential(const char* domain, const char* user,
                                                   const char* password) {
  try {
    useCurrentUser = AllEmpty(domain, user, password);
    std::string_view d = Text(domain), u = Text(user), p = Text(password);
    std::lock_guard<std::mutex> guard(qrn::AuthCredentialsLock());
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
    record.refused = false;
    qrn::WipeMemory(record.refusedName, sizeof record.refusedName);

    // Cutting a name or a password would check other credentials than the
    // caller's. An overlong text leaves the record empty and marked refused:
    // an empty record alone would stand for the current logon, and the next
    // Authenticate or client step would succeed as that user.
    if (!Fits(d) || !Fits(u) || !Fits(p)) {
      record.refused = true;
      std::string tried = qrn::TriedUserText(std::string(d).c_str(), std::string(u).c_str());
      uint32_t tried_length = 0;
      StoreText(tried, record.refusedName, &tried_length);
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
    std::unique_lock<std::mutex> guard(qrn::AuthCredentialsLock());
    const qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
    if (record.refused) {
      // Refused credentials stay refused; the audit record names the user
      // that was tried, not the host's own account.
      std::string tried(record.refusedName);
      guard.unlock();
      AuditAs(false, tried);
      return false;
    }
    // The check refills the record: work from copies of its texts.
    qrn::CredentialCopy held(record.domain, record.userName, record.password);
    guard.unlock();
    return SSPAuthenticateUser(held.domain().c_str(), held.user().c_str(), held.password().c_str());
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
    const bool current_user = useCurrentUser;
    // Only credentials that are all empty stand for the current user; a
    // password or domain without a user name names nobody and is denied
    // without asking the provider (whose default credentials would answer).
    const bool nameless = !current_user && Text(user).empty();
    auto answer = [&](bool success) {
      // A refused or name-less attempt is recorded as tried, never under the
      // current user's name.
      if (!stored || nameless) {
        AuditAs(success, qrn::TriedUserText(domain, user));
      } else {
        Audit(success, current_user, domain, user);
      }
      return success;
    };
    if (securityFunctions == nullptr) {
      // The provider did not load: this object answers no check.
      return answer(false);
    }
    if (novell) {
      // Named credentials are not verified on a Novell client.
      return answer(!nameless && (current_user || qrn::ReadIdentityBlock().os_user_mark == 1));
    }
    clientSeq.newConversation = 1;
    serverSeq.newConversation = 1;
    if (current_user) return answer(true);
    if (!stored || nameless) return answer(false);

    // The conversation runs on this check's own copies, always with an
    // explicit identity: never on the shared record, never on the
    // provider's default credentials.
    qrn::CredentialCopy credentials(Text(domain), Text(user), Text(password));
    bool ok = true;
    outTokenLength = tokenBufferSize;
    ok = ok && GenClientContext(credentials.identity());  // negotiate
    auto hand_over = [this] {
      inTokenLength = outTokenLength;
      outTokenLength = tokenBufferSize;
    };
    if (ok) hand_over();
    ok = ok && GenServerContext();  // challenge
    if (ok) hand_over();
    ok = ok && GenClientContext(credentials.identity());  // authenticate
    if (ok) hand_over();
    ok = ok && GenServerContext();  // acceptance
    return answer(ok);
  } catch (...) {
    return false;
  }
}

void CQRNAuthenticate::WriteLog(bool success) {
  std::unique_lock<std::mutex> guard(qrn::AuthCredentialsLock());
  const qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
  std::string domain(record.domain), user(record.userName);
  guard.unlock();
  Audit(success, useCurrentUser, domain.c_str(), user.c_str());
}
