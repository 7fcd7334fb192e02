// The member-name index of a loaded role list.
#include "security/common/qrnauthorize/role_match.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"
#include "security/common/role_records.h"

namespace qrn {

namespace {

template <typename Map>
void IndexMembers(const CQRNRole& role, bool users, uint32_t position, std::string* folded,
                  Map* map) {
  RoleRecords::ForEachMember(role, users, [&](std::string_view name) {
    platform::FoldCaseInto(name, folded);
    auto found = map->find(std::string_view(*folded));
    if (found == map->end()) found = map->emplace(*folded, std::vector<uint32_t>()).first;
    std::vector<uint32_t>& roles = found->second;
    // A role naming the same member twice is listed once.
    if (roles.empty() || roles.back() != position) roles.push_back(position);
  });
}

}  // namespace

RoleMemberIndex::RoleMemberIndex(const CQRNRoleList& list) : roles_(list.roles) {
  counts_.reserve(roles_.size());
  std::string folded;
  for (size_t i = 0; i < roles_.size(); ++i) {
    const CQRNRole* role = roles_[i];
    if (role == nullptr) {
      counts_.push_back({0, 0});
      continue;
    }
    counts_.push_back(
        {RoleRecords::MemberCount(*role, true), RoleRecords::MemberCount(*role, false)});
    IndexMembers(*role, true, static_cast<uint32_t>(i), &folded, &users_);
    IndexMembers(*role, false, static_cast<uint32_t>(i), &folded, &groups_);
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
         RoleRecords::MemberCount(*role, true) == counts_[position].users &&
         RoleRecords::MemberCount(*role, false) == counts_[position].groups;
}

void RoleMemberIndex::Find(const NameMap& map, std::string_view name,
                           std::vector<uint32_t>* positions) {
  std::string folded;
  platform::FoldCaseInto(name, &folded);
  const auto it = map.find(std::string_view(folded));
  if (it != map.end()) positions->insert(positions->end(), it->second.begin(), it->second.end());
}

void RoleMemberIndex::Find(const NameMap& map, std::string_view name, uint32_t tag,
                           std::vector<uint64_t>* hits) {
  std::string folded;
  platform::FoldCaseInto(name, &folded);
  const auto it = map.find(std::string_view(folded));
  if (it == map.end()) return;
  for (uint32_t position : it->second) hits->push_back(uint64_t{position} << 32 | tag);
}

void RoleMemberIndex::FindUser(std::string_view name, uint32_t tag,
                               std::vector<uint64_t>* hits) const {
  Find(users_, name, tag, hits);
}

void RoleMemberIndex::FindGroup(std::string_view name, uint32_t tag,
                                std::vector<uint64_t>* hits) const {
  Find(groups_, name, tag, hits);
}

void RoleMemberIndex::FindUser(std::string_view name, std::vector<uint32_t>* positions) const {
  Find(users_, name, positions);
}

void RoleMemberIndex::FindGroup(std::string_view name, std::vector<uint32_t>* positions) const {
  Find(groups_, name, positions);
}

void MatchRoles(const CQRNRoleList& list, std::shared_ptr<RoleMemberIndex>* index,
                const std::string& user, const std::vector<std::string>& candidates,
                std::vector<CQRNRole*>* roles, RoleMatchObserver* observer) {
  // Each hit is a list position tagged with the name that found it: 0 the
  // user's name, k + 1 the k-th candidate. Sorted, the first hit of each
  // position carries the name that matches the role first.
  std::vector<uint64_t> hits;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0 || !*index || !(*index)->Fits(list))
      *index = std::make_shared<RoleMemberIndex>(list);
    const RoleMemberIndex& built = **index;
    hits.clear();
    built.FindUser(user, 0, &hits);
    for (size_t k = 0; k < candidates.size(); ++k)
      built.FindGroup(candidates[k], static_cast<uint32_t>(k + 1), &hits);
    std::sort(hits.begin(), hits.end());
    hits.erase(std::unique(hits.begin(), hits.end(),
                           [](uint64_t a, uint64_t b) { return a >> 32 == b >> 32; }),
               hits.end());
    bool holds = true;
    for (uint64_t hit : hits) holds = holds && built.Holds(list, static_cast<uint32_t>(hit >> 32));
    if (holds) break;  // else a role changed since the index was built
  }
  roles->reserve(roles->size() + hits.size());
  for (uint64_t hit : hits) roles->push_back(list.roles[hit >> 32]);
  if (observer == nullptr) return;

  auto next = hits.begin();
  for (size_t position = 0; position < list.roles.size(); ++position) {
    const CQRNRole* role = list.roles[position];
    if (role == nullptr) continue;
    while (next != hits.end() && (*next >> 32) < position) ++next;
    if (next == hits.end() || (*next >> 32) != position) {
      observer->Role(*role, nullptr, false);
      continue;
    }
    const uint32_t tag = static_cast<uint32_t>(*next & 0xFFFFFFFFu);
    observer->Role(*role, tag == 0 ? &user : &candidates[tag - 1], tag == 0);
  }
}

}  // namespace qrn
