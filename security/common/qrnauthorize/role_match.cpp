// The member-name index of a loaded role list.
#include "security/common/qrnauthorize/role_match.h"

#include <cstring>

#include "platform/text.h"

namespace qrn {

namespace {

template <typename Member, typename Map>
void IndexMembers(const std::vector<Member*>& members, uint32_t position, Map* map) {
  for (const Member* member : members) {
    if (member == nullptr) continue;
    std::vector<uint32_t>& roles = (*map)[platform::FoldCase(member->memberName)];
    // A role naming the same member twice is listed once.
    if (roles.empty() || roles.back() != position) roles.push_back(position);
  }
}

}  // namespace

RoleMemberIndex::RoleMemberIndex(const CQRNRoleList& list) : roles_(list.roles) {
  counts_.reserve(roles_.size());
  for (size_t i = 0; i < roles_.size(); ++i) {
    const CQRNRole* role = roles_[i];
    if (role == nullptr) {
      counts_.push_back({0, 0});
      continue;
    }
    counts_.push_back({role->userMembers.size(), role->groupMembers.size()});
    IndexMembers(role->userMembers, static_cast<uint32_t>(i), &users_);
    IndexMembers(role->groupMembers, static_cast<uint32_t>(i), &groups_);
  }
}

bool RoleMemberIndex::Fits(const CQRNRoleList& list) const {
  return list.roles.size() == roles_.size() &&
         (roles_.empty() ||
          std::memcmp(list.roles.data(), roles_.data(), roles_.size() * sizeof(CQRNRole*)) == 0);
}

bool RoleMemberIndex::Holds(const CQRNRoleList& list, uint32_t position) const {
  if (position >= roles_.size() || position >= list.roles.size()) return false;
  const CQRNRole* role = list.roles[position];
  return role == roles_[position] && role != nullptr &&
         role->userMembers.size() == counts_[position].users &&
         role->groupMembers.size() == counts_[position].groups;
}

void RoleMemberIndex::Find(const NameMap& map, std::string_view name,
                           std::vector<uint32_t>* positions) {
  const auto it = map.find(platform::FoldCase(name));
  if (it != map.end()) positions->insert(positions->end(), it->second.begin(), it->second.end());
}

void RoleMemberIndex::FindUser(std::string_view name, std::vector<uint32_t>* positions) const {
  Find(users_, name, positions);
}

void RoleMemberIndex::FindGroup(std::string_view name, std::vector<uint32_t>* positions) const {
  Find(groups_, name, positions);
}

}  // namespace qrn
