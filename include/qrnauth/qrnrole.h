// Role records: the principals of the access control lists. A role names
// its members: users, and groups whose members are users. Hosts receive
// pointers to these records (GetRolesCache, GetRoleInfo,
// GetUserRolesFromCache); the authorizer owns them, and they stay valid
// until its cache is released. Texts are UTF-8, NUL-terminated, in fixed
// arrays; longer texts are cut at a character boundary to fit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qrnauth/export.h"
#include "qrnauth/qrnxml.h"

namespace qrn {
struct RoleRecords;  // the library's own access to a role's loaded members
}

// Where a record came from; written at construction.
struct QrnSourceDescriptor {
  int32_t sourceKind;     // 4: the security web server
  int32_t sourceNumber;   // 389
  char sourceText[512];   // empty
  char sourceText2[256];  // empty
  char sourceText3[256];  // empty
  char sourceText4[256];  // empty
  char serverUrl[256];    // the base URL of the security server, or empty
};

class QRNAUTH_API CQRNRoleMemberUser {
 public:
  CQRNRoleMemberUser();
  explicit CQRNRoleMemberUser(const char* name);
  virtual ~CQRNRoleMemberUser();
  char memberName[256];
};

class QRNAUTH_API CQRNRoleMemberGroup {
 public:
  CQRNRoleMemberGroup();
  explicit CQRNRoleMemberGroup(const char* name);
  virtual ~CQRNRoleMemberGroup();
  char memberName[256];
};

class QRNAUTH_API CQRNRole {
 public:
  CQRNRole();
  virtual ~CQRNRole();  // destroys the members
  CQRNRole(const CQRNRole&) = delete;
  CQRNRole& operator=(const CQRNRole&) = delete;

  char roleId[256];     // braced GUID text
  char roleName[256];   // the name ACLs use
  char thirdText[256];  // kept for hosts
  std::string spareText;
  std::vector<CQRNRoleMemberUser*> userMembers;    // owned
  std::vector<CQRNRoleMemberGroup*> groupMembers;  // owned
  QrnSourceDescriptor source;

 private:
  friend class CQRNRoleList;
  friend struct qrn::RoleRecords;
  // A role's user (group) members as loaded: the names in the text they came
  // in, and their folded forms, filled on the first lookup so that a
  // membership test is one hash lookup. A role an authorizer loads makes its
  // member records only when it is first handed to a host; until then the
  // names answer every lookup. An index answers only while the member array
  // has the size it was made for; otherwise (a role built or changed by its
  // host) the members are compared one by one.
  struct MemberIndex;
  explicit CQRNRole(const QrnSourceDescriptor& source);
  bool HasMemberNamed(const char* name, bool users) const;
  std::unique_ptr<MemberIndex> userIndex;
  std::unique_ptr<MemberIndex> groupIndex;
};

class QRNAUTH_API CQRNRoleList {
 public:
  CQRNRoleList();
  virtual ~CQRNRoleList();  // destroys every role
  CQRNRoleList(const CQRNRoleList&) = delete;
  CQRNRoleList& operator=(const CQRNRoleList&) = delete;

  // Fills the list from the given role document (use_given set and a
  // document given), else from the security server (writing the role cache
  // file). On a failure the list keeps the roles added so far.
  void GetRoles(uint8_t use_given, IQrnXml2* document);
  void GetRoleFromWeb(uint8_t use_given, IQrnXml2* document);

  // True when one of the role's user (group) members has memberName equal
  // to name without regard to case.
  static bool HasUserMember(const CQRNRole* role, const char* name);
  static bool HasGroupMember(const CQRNRole* role, const char* name);

  std::vector<CQRNRole*> roles;  // owned, in document order
  uint8_t listFlag;              // 1
  QrnSourceDescriptor source;
  char listTimestamp[256];  // "1/1/99 12:00:00 PM"
  char cacheFolder[256];
  int32_t listSpare;  // 0
};
