// Impersonation of an authenticated NTLM client by the calling thread.
//
// The client's name ("DOMAIN\user" or "user") is looked up in NSS, first as
// it stands (winbind names carry the domain), then without the domain. Only
// the calling thread's effective uid, gid and supplementary groups change
// (raw system calls: the glibc wrappers would change every thread), so this
// needs the privilege to switch ids. Threads the impersonating thread starts
// inherit its ids, as the kernel copies them at thread creation. Nested impersonations keep the
// thread's original ids; RevertAccount restores them.
#pragma once

#include <string>

#include "platform/sspi.h"

namespace qrn::platform {

// SEC_E_OK, SEC_E_UNKNOWN_CREDENTIALS when no account has that name, or
// SEC_E_INTERNAL_ERROR when the switch is refused (nothing changed then).
SECURITY_STATUS ImpersonateAccount(const std::string& client);
// SEC_E_OK also when the thread does not impersonate.
SECURITY_STATUS RevertAccount();

}  // namespace qrn::platform
