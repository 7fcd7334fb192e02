#include "platform/sspi_impersonate.h"

#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

namespace qrn::platform {
namespace {

struct SavedIds {
  bool active = false;
  uid_t euid = 0;
  gid_t egid = 0;
  std::vector<gid_t> groups;
};
thread_local SavedIds saved;

bool SetThreadGroups(const std::vector<gid_t>& groups) {
  return syscall(SYS_setgroups, groups.size(), groups.data()) == 0;
}
bool SetThreadEgid(gid_t gid) { return syscall(SYS_setresgid, -1, gid, -1) == 0; }
bool SetThreadEuid(uid_t uid) { return syscall(SYS_setresuid, -1, uid, -1) == 0; }

bool FindAccount(const std::string& name, uid_t* uid, gid_t* gid, std::string* found) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result) != 0 ||
      result == nullptr) {
    return false;
  }
  *uid = entry.pw_uid;
  *gid = entry.pw_gid;
  *found = entry.pw_name;
  return true;
}

}  // namespace

SECURITY_STATUS ImpersonateAccount(const std::string& client) {
  uid_t uid;
  gid_t gid;
  std::string account;
  size_t slash = client.find('\\');
  if (client.empty() || (!FindAccount(client, &uid, &gid, &account) &&
                         (slash == std::string::npos ||
                          !FindAccount(client.substr(slash + 1), &uid, &gid, &account)))) {
    return SEC_E_UNKNOWN_CREDENTIALS;
  }
  int count = 64;
  std::vector<gid_t> groups(count);
  if (getgrouplist(account.c_str(), gid, groups.data(), &count) < 0) {
    groups.resize(count);
    if (getgrouplist(account.c_str(), gid, groups.data(), &count) < 0) count = 0;
  }
  groups.resize(count);

  if (!saved.active) {
    SavedIds now;
    now.euid = geteuid();
    now.egid = getegid();
    int n = getgroups(0, nullptr);
    now.groups.resize(n > 0 ? n : 0);
    if (n > 0 && getgroups(n, now.groups.data()) < 0) return SEC_E_INTERNAL_ERROR;
    now.active = true;
    saved = now;
  } else if (!SetThreadEuid(saved.euid)) {
    return SEC_E_INTERNAL_ERROR;  // back to the original ids before switching again
  }
  if (!SetThreadGroups(groups) || !SetThreadEgid(gid) || !SetThreadEuid(uid)) {
    RevertAccount();
    return SEC_E_INTERNAL_ERROR;
  }
  return SEC_E_OK;
}

SECURITY_STATUS RevertAccount() {
  if (!saved.active) return SEC_E_OK;
  bool ok = SetThreadEuid(saved.euid);
  ok = SetThreadGroups(saved.groups) && ok;
  ok = SetThreadEgid(saved.egid) && ok;
  if (ok) saved.active = false;
  return ok ? SEC_E_OK : SEC_E_INTERNAL_ERROR;
}

}  // namespace qrn::platform
