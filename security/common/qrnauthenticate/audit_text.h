// The audit record of an authentication answer.
#pragma once

#include <string>

namespace qrn {

// The user an authentication record names: "DOMAIN\user" of the checked
// credentials, or of the current operating-system user when the check used
// the current user or both texts are empty. Cut to 255 bytes at a character
// boundary (the record's user field).
std::string AuditUserText(bool use_current_user, const char* domain, const char* user);

// The fields of one authentication record.
struct AuthenticationAudit {
  std::string user;
  std::string action;  // "Authentication"
  std::string status;  // "Success" or "Failed"
};
AuthenticationAudit MakeAuthenticationAudit(const std::string& user, bool success);

// Builds the record and hands it to the audit sender.
void SendAuthenticationAudit(const std::string& user, bool success);

}  // namespace qrn
