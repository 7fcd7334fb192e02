// The member-name index of a loaded role list: folded user and group member
// names to the positions of the roles that name them, so that matching a
// user's name and groups against every role costs one lookup per name
// instead of one per role and name.
#pragma once

#include <cstdint>
#include <functional>
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

  std::vector<CQRNRole*> roles_;
  std::vector<Counts> counts_;
  NameMap users_;
  NameMap groups_;
};

}  // namespace qrn
