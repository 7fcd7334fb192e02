#include "security/common/qrnauthenticate/audit_text.h"

#include "platform/text.h"
#include "qrnauth/qrnauthenticate.h"

namespace qrn {
namespace {

constexpr char kAuthenticationAction[] = "Authentication";
constexpr char kSuccessStatus[] = "Success";
constexpr char kFailedStatus[] = "Failed";
constexpr size_t kAuditUserBytes = 255;

std::string CurrentUserText() {
  char domain[256] = {};
  char user[256] = {};
  CQRNAuthenticate::GetCurrentUserInfo(domain, user);
  return std::string(domain) + "\\" + user;
}

}  // namespace

std::string AuditUserText(bool use_current_user, const char* domain, const char* user) {
  std::string text;
  if (!use_current_user) {
    text = std::string(domain ? domain : "") + "\\" + (user ? user : "");
  }
  if (use_current_user || text == "\\") text = CurrentUserText();
  return std::string(platform::CutAtCharBoundary(text, kAuditUserBytes));
}

AuthenticationAudit MakeAuthenticationAudit(const std::string& user, bool success) {
  return {user, kAuthenticationAction, success ? kSuccessStatus : kFailedStatus};
}

void SendAuthenticationAudit(const std::string& user, bool success) {
  AuthenticationAudit record = MakeAuthenticationAudit(user, success);
  // The audit sender (computer name, post to the security server) takes the
  // record here once it is part of the library.
  (void)record;
}

}  // namespace qrn
