#include "platform/nss_groups.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace qrn::platform {

namespace {

void CopyGroup(const group& from, GroupEntry* to) {
  to->name = from.gr_name != nullptr ? from.gr_name : "";
  to->gid = from.gr_gid;
  to->members.clear();
  for (char** member = from.gr_mem; member != nullptr && *member != nullptr; ++member)
    to->members.emplace_back(*member);
}

size_t InitialBufferSize() {
  const long hint = sysconf(_SC_GETGR_R_SIZE_MAX);
  return hint > 0 ? static_cast<size_t>(hint) : 4096;
}

constexpr size_t kMaxBuffer = 1u << 24;  // groups with very many members

std::mutex enumeration_lock;

}  // namespace

bool GroupIdsOfAccount(const Account& account, std::vector<uint32_t>* gids) {
  int count = 64;
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::vector<gid_t> found(static_cast<size_t>(count));
    int n = count;
    if (getgrouplist(account.name.c_str(), static_cast<gid_t>(account.gid), found.data(), &n) >=
        0) {
      gids->assign(found.begin(), found.begin() + n);
      return true;
    }
    if (n <= count)
      count *= 2;  // some implementations do not report the need
    else
      count = n;
  }
  return false;
}

bool GroupById(uint32_t gid, GroupEntry* entry) {
  std::vector<char> buffer(InitialBufferSize());
  for (;;) {
    group found{};
    group* result = nullptr;
    const int rc =
        getgrgid_r(static_cast<gid_t>(gid), &found, buffer.data(), buffer.size(), &result);
    if (rc == ERANGE && buffer.size() < kMaxBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr) return false;
    CopyGroup(found, entry);
    return true;
  }
}

std::vector<GroupEntry> AllGroups() {
  std::lock_guard<std::mutex> hold(enumeration_lock);
  std::vector<GroupEntry> groups;
  std::vector<char> buffer(InitialBufferSize());
  setgrent();
  for (;;) {
    group found{};
    group* result = nullptr;
    const int rc = getgrent_r(&found, buffer.data(), buffer.size(), &result);
    if (rc == ERANGE && buffer.size() < kMaxBuffer) {
      buffer.resize(buffer.size() * 2);  // the same entry is returned again
      continue;
    }
    if (rc != 0 || result == nullptr) break;
    GroupEntry entry;
    CopyGroup(found, &entry);
    groups.push_back(std::move(entry));
  }
  endgrent();
  return groups;
}

}  // namespace qrn::platform
