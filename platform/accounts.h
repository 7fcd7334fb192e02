// Accounts of the name service (NSS: /etc/passwd, winbind, sssd, ...) and
// the identity of the calling thread.
//
// Impersonation switches only the calling thread's credentials (raw
// setresuid on that thread), so "who is calling" is asked of the thread with
// a raw system call, never of a per-process cache.
#pragma once

#include <cstdint>
#include <string>

namespace qrn::platform {

struct Account {
  std::string name;  // as the name service spells it, e.g. "SALES\bob" or "bob"
  uint32_t uid = 0;
  uint32_t gid = 0;  // primary group
};

// The calling thread's effective user id (raw system call).
uint32_t ThreadEffectiveUid();

// getpwuid_r / getpwnam_r. False when the name service knows no such account
// (or cannot be asked); *account is then unchanged.
bool AccountByUid(uint32_t uid, Account* account);
bool AccountByName(const std::string& name, Account* account);

// The login name of the process: getlogin_r, else $LOGNAME. False when
// neither gives a name.
bool LoginName(std::string* name);

// The value of an environment variable, or "" when unset.
std::string EnvironmentValue(const char* name);

// Writes text as it is to standard error (the debugger-output stand-in and
// one-time warnings).
void WriteStderr(const std::string& text);

}  // namespace qrn::platform
