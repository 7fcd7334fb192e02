// The audit record of an authentication answer.
#pragma once

#include <string>

namespace qrn {

// The user an authentication record names: "DOMAIN\user" of the checked
// credentials, or of the current operating-system user when the check used
// the current user or both texts are empty. Cut to 255 bytes at a character
// boundary (the record's user field).
std::string AuditUserText(bool use_current_user, const char* domain, const char* user);

// "DOMAIN\user" exactly as tried, cut the same way, even when both are empty:
// for credentials that were refused or named nobody, which must never be
// recorded under the current operating-system user.
std::string TriedUserText(const char* domain, const char* user);

// Posts one authentication record ("Authentication", "Success" or "Failed")
// through CQRNLog, which adds the computer name and sends it when the
// security server is in use.
void SendAuthenticationAudit(const std::string& user, bool success);

}  // namespace qrn
