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

  // True while list holds the same roles, in the same order, with the same
  // member counts as when the index was built (a host that changes a role's
  // members changes their count; the index then no longer answers).
  bool Fits(const CQRNRoleList& list) const;

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
  struct Shape {
    const CQRNRole* role;
    size_t users;
    size_t groups;
  };
  static void Find(const NameMap& map, std::string_view name, std::vector<uint32_t>* positions);

  std::vector<Shape> shape_;
  NameMap users_;
  NameMap groups_;
};

}  // namespace qrn
