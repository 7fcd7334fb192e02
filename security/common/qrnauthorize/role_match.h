// The member-name index of a loaded role list: folded user and group member
// names to the positions of the roles that name them, so that matching a
// user's name and groups against every role costs one lookup per name
// instead of one per role and name.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qrnauth/qrnrole.h"

namespace qrn {

class RoleMemberIndex {
 public:
  // Indexes every user and group member of the roles of list (null roles
  // and members are skipped).
  explicit RoleMemberIndex(const CQRNRoleList& list);

  // True while list holds the same role records in the same order as when
  // the index was built (one comparison of the pointer arrays).
  bool Fits(const CQRNRoleList& list) const;
  // True while the role at position has the member counts it was indexed
  // with (a host that changes a role's members changes their count). Checked
  // for the roles a lookup found, so that a stale entry is never used.
  bool Holds(const CQRNRoleList& list, uint32_t position) const;

  // Appends to *positions the list positions of the roles with a user (a
  // group) member equal to name without regard to case.
  void FindUser(std::string_view name, std::vector<uint32_t>* positions) const;
  void FindGroup(std::string_view name, std::vector<uint32_t>* positions) const;
  // The same, each position tagged: (position << 32) | tag.
  void FindUser(std::string_view name, uint32_t tag, std::vector<uint64_t>* hits) const;
  void FindGroup(std::string_view name, uint32_t tag, std::vector<uint64_t>* hits) const;

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>()(text);
    }
  };
  using NameMap = std::unordered_map<std::string, std::vector<uint32_t>, Hash, std::equal_to<>>;
  struct Counts {
    size_t users;
    size_t groups;
  };
  static void Find(const NameMap& map, std::string_view name, std::vector<uint32_t>* positions);
  static void Find(const NameMap& map, std::string_view name, uint32_t tag,
                   std::vector<uint64_t>* hits);

  std::vector<CQRNRole*> roles_;
  std::vector<Counts> counts_;
  NameMap users_;
  NameMap groups_;
};

// Sees the matching: for each role of the list (null roles skipped), in
// list order, what matched it.
class RoleMatchObserver {
 public:
  virtual ~RoleMatchObserver() = default;
  // matched: the user's name (by_user) or the first group candidate that the
  // role names; null when the role names neither.
  virtual void Role(const CQRNRole& role, const std::string* matched, bool by_user) = 0;
};

// The one matching of a user against the loaded roles: appends to *roles,
// in list order, each role of list that names user as a user member or one
// of candidates as a group member (equal without regard to case). Looks each
// name up once in *index, which is (re)built when missing, made for another
// list, or stale for a role it found. observer, when given, sees the outcome
// for every role.
void MatchRoles(const CQRNRoleList& list, std::shared_ptr<RoleMemberIndex>* index,
                const std::string& user, const std::vector<std::string>& candidates,
                std::vector<CQRNRole*>* roles, RoleMatchObserver* observer);

}  // namespace qrn
