#include "security/common/qrnauthenticate/audit_text.h"

#include "platform/text.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/audit_record.h"

namespace qrn {
namespace {

constexpr size_t kAuditUserBytes = 255;

std::string CurrentUserText() {
  char domain[256] = {};
  char user[256] = {};
  CQRNAuthenticate::GetCurrentUserInfo(domain, user);
  return std::string(domain) + "\\" + user;
}

}  // namespace

std::string TriedUserText(const char* domain, const char* user) {
  std::string text = std::string(domain ? domain : "") + "\\" + (user ? user : "");
  return std::string(platform::CutAtCharBoundary(text, kAuditUserBytes));
}

std::string AuditUserText(bool use_current_user, const char* domain, const char* user) {
  std::string text;
  if (!use_current_user) {
    text = std::string(domain ? domain : "") + "\\" + (user ? user : "");
  }
  if (use_current_user || text == "\\") text = CurrentUserText();
  return std::string(platform::CutAtCharBoundary(text, kAuditUserBytes));
}

void SendAuthenticationAudit(const std::string& user, bool success) {
  CQRNLog record;
  record.SetUser(user);
  record.SetAction(CQRNLog::kAuthentication);
  record.SetStatus(success ? CQRNLog::kSuccess : CQRNLog::kFailed);
  record.Write();
}

}  // namespace qrn
