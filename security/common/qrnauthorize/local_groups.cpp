// This computer's local groups of a user: GetLocalGroupsAdsi and
// GetLocalGroupsNetApi over the name service's local groups (the groups it
// enumerates whose names carry no domain).
#include <mutex>

#include "platform/nss_groups.h"
#include "platform/text.h"
#include "security/common/qrnauthorize/account_directory.h"
#include "security/common/qrnauthorize/directory_groups.h"

namespace qrn {

namespace {

// The local groups of this computer, in the name service's order.
std::vector<platform::GroupEntry> LocalGroups() {
  std::vector<platform::GroupEntry> local;
  for (platform::GroupEntry& group : platform::AllGroups()) {
    if (!IsQualifiedNssName(group.name)) local.push_back(std::move(group));
  }
  return local;
}

// This computer's directory path: "WinNT://" + its domain + "/" + its name
// (as the computer spells it, whatever spelling the caller used).
std::string ComputerPath() {
  return std::string(kWinNtScheme) + ThisComputerDomain() + "/" + ThisComputer();
}

// Whether a member path or entry names a member of a local group: an account
// the name service knows is a member when the group is one of its groups;
// anything else (a domain group, "Everyone") when the group lists it.
class MemberTest {
 public:
  explicit MemberTest(const std::string& path) : name_(ParseMemberPath(path)) {
    platform::Account account;
    if (FindAccount(name_, &account)) {
      is_account_ = true;
      platform::GroupIdsOfAccount(account, &gids_);
    }
  }

  bool IsMemberOf(const platform::GroupEntry& group) const {
    if (is_account_) {
      for (const uint32_t gid : gids_)
        if (gid == group.gid) return true;
      return false;
    }
    for (const std::string& listed : group.members) {
      const QualifiedName member = SplitNssName(listed);
      if (!platform::EqualsNoCase(member.name, name_.name)) continue;
      if (member.qualifier.empty() ? IsLocalQualifier(name_.qualifier)
                                   : platform::EqualsNoCase(member.qualifier, name_.qualifier))
        return true;
    }
    return false;
  }

 private:
  QualifiedName name_;
  bool is_account_ = false;
  std::vector<uint32_t> gids_;
};

// The computer's path with "/", kept for the life of the process once found.
std::mutex prefix_lock;
std::string machine_prefix;

}  // namespace

HRESULT GetLocalGroupsAdsi(const std::string& computer, const std::string& user_path,
                           const std::vector<std::string>& entries, std::vector<std::string>* out) {
  try {
    if (!IsThisComputer(computer)) return E_FAIL;
    const std::vector<platform::GroupEntry> groups = LocalGroups();
    const std::string prefix = ComputerPath() + "/";
    const MemberTest user(std::string(kWinNtScheme) + user_path);
    std::vector<MemberTest> tests;
    tests.reserve(entries.size());
    for (const std::string& entry : entries) tests.emplace_back(entry);
    for (const platform::GroupEntry& group : groups) {
      if (user.IsMemberOf(group)) {
        out->push_back(prefix + group.name);
        continue;
      }
      for (const MemberTest& test : tests) {
        if (test.IsMemberOf(group)) out->push_back(prefix + group.name);
      }
    }
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT GetLocalGroupsNetApi(const std::string& computer, const std::string& user_path,
                             std::vector<std::string>* out) {
  try {
    HRESULT result = S_OK;
    std::string prefix;
    {
      std::lock_guard<std::mutex> hold(prefix_lock);
      if (machine_prefix.empty()) {
        if (IsThisComputer(computer)) {
          machine_prefix = ComputerPath() + "/";
        } else {
          result = HRESULT_FROM_WIN32(kErrorBadNetPath);
        }
      }
      prefix = machine_prefix;
    }
    // The account DOMAIN\user of user_path.
    const size_t slash = user_path.find('/');
    const QualifiedName name =
        slash == std::string::npos
            ? QualifiedName{"", user_path}
            : QualifiedName{user_path.substr(0, slash), user_path.substr(slash + 1)};
    platform::Account account;
    std::vector<platform::GroupEntry> own;
    if (!IsThisComputer(computer)) return HRESULT_FROM_WIN32(kErrorBadNetPath);
    if (!FindAccount(name, &account)) return HRESULT_FROM_WIN32(kNerrUserNotFound);
    if (!AccountGroups(account, &own)) return HRESULT_FROM_WIN32(kErrorGenFailure);
    for (const platform::GroupEntry& group : LocalGroups()) {
      bool member = false;
      for (const platform::GroupEntry& mine : own) {
        if (mine.gid == group.gid) member = true;
        // Indirect: the local group lists one of the account's domain groups.
        for (const std::string& listed : group.members) {
          if (!member && IsQualifiedNssName(mine.name) && platform::EqualsNoCase(listed, mine.name))
            member = true;
        }
        if (member) break;
      }
      if (member) out->push_back(prefix + group.name);
    }
    return result;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace qrn
