#include "platform/accounts.h"

#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace qrn::platform {

namespace {

// Runs one of the *_r lookups with a buffer that grows on ERANGE.
template <typename Lookup>
bool LookupPasswd(Lookup lookup, Account* account) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int rc = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_name == nullptr) return false;
    account->name = found->pw_name;
    account->uid = found->pw_uid;
    account->gid = found->pw_gid;
    return true;
  }
}

}  // namespace

uint32_t ThreadEffectiveUid() { return static_cast<uint32_t>(syscall(SYS_geteuid)); }

bool AccountByUid(uint32_t uid, Account* account) {
  return LookupPasswd(
      [uid](passwd* entry, char* buf, size_t size, passwd** found) {
        return getpwuid_r(static_cast<uid_t>(uid), entry, buf, size, found);
      },
      account);
}

bool AccountByName(const std::string& name, Account* account) {
  if (name.empty()) return false;
  return LookupPasswd(
      [&name](passwd* entry, char* buf, size_t size, passwd** found) {
        return getpwnam_r(name.c_str(), entry, buf, size, found);
      },
      account);
}

bool LoginName(std::string* name) {
  char buffer[256] = {};
  if (getlogin_r(buffer, sizeof(buffer)) == 0 && buffer[0] != '\0') {
    *name = buffer;
    return true;
  }
  const char* logname = std::getenv("LOGNAME");
  if (logname != nullptr && *logname != '\0') {
    *name = logname;
    return true;
  }
  return false;
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void WriteStderr(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace qrn::platform
