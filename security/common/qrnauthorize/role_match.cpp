// The member-name index of a loaded role list.
#include "security/common/qrnauthorize/role_match.h"

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

RoleMemberIndex::RoleMemberIndex(const CQRNRoleList& list) {
  shape_.reserve(list.roles.size());
  for (size_t i = 0; i < list.roles.size(); ++i) {
    const CQRNRole* role = list.roles[i];
    if (role == nullptr) {
      shape_.push_back({nullptr, 0, 0});
      continue;
    }
    shape_.push_back({role, role->userMembers.size(), role->groupMembers.size()});
    IndexMembers(role->userMembers, static_cast<uint32_t>(i), &users_);
    IndexMembers(role->groupMembers, static_cast<uint32_t>(i), &groups_);
  }
}

bool RoleMemberIndex::Fits(const CQRNRoleList& list) const {
  if (list.roles.size() != shape_.size()) return false;
  for (size_t i = 0; i < shape_.size(); ++i) {
    const CQRNRole* role = list.roles[i];
    const Shape& shape = shape_[i];
    if (role != shape.role) return false;
    if (role != nullptr &&
        (role->userMembers.size() != shape.users || role->groupMembers.size() != shape.groups))
      return false;
  }
  return true;
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
