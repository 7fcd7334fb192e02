// winbind, the domain member's view of the domain, through libwbclient when
// the library was built with it (QRNAUTH_HAVE_WBCLIENT). Without it, or when
// winbindd is not running, every query answers false.
#pragma once

#include <string>

namespace qrn::platform {

// The separator winbind puts between domain and user in NSS names ('\' by
// default; a site may set another). '\' when winbind cannot be asked.
char WinbindSeparator();

// The domain this machine belongs to (its NetBIOS name), when winbind knows.
bool WinbindMachineDomain(std::string* domain);

// The security identifier of domain\user in its string form (S-1-5-21-...).
bool WinbindUserSid(const std::string& domain, const std::string& user, std::string* sid);

}  // namespace qrn::platform
