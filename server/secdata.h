// The security data that qrnsecd publishes, read from its JSON data file.
//
// Format 1:
//   { "format": 1, "localGroupsLevel": 3, "timestamp": "optional text",
//     "applications": [ { "name", "id", "description"?, "groups": [
//         { "name", "id", "description"?, "objects": [ { "name", "id" } ] } ] } ],
//     "roles": [ { "id", "name", "description"?, "groups": [...], "users": [...] } ],
//     "acls": { "object key": "Role:mask;Role:mask" },
//     "userGroups" / "allUserGroups" / "serverLocalGroups":
//         { "DOMAIN\\user": ["DOMAIN/Group", ...] } }
//
// Every identifier is a braced GUID text of 38 characters. Every section but
// "format" may be left out.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qrn::secd {

struct SecuredObject {
  std::string name, id;
};

struct SecurityGroup {
  std::string name, id, description;
  std::vector<SecuredObject> objects;
};

struct Application {
  std::string name, id, description;
  std::vector<SecurityGroup> groups;
};

struct Role {
  std::string id, name, description;
  std::vector<std::string> groups, users;
};

// Group lists keyed by the case-folded "DOMAIN\user" (or "user") text.
using GroupTable = std::map<std::string, std::vector<std::string>>;

struct SecurityData {
  int local_groups_level = 3;
  std::string timestamp;  // empty: derive it from the data file
  std::vector<Application> applications;
  std::vector<Role> roles;
  std::vector<std::pair<std::string, std::string>> acls;  // key, ACL text; sorted by key
  GroupTable user_groups, all_user_groups, server_local_groups;
};

// Parses and checks the data file text. On failure returns false and puts in
// *error a message naming `file_name` and the place of the fault: line and
// column for a JSON syntax error, the JSON path for a value that breaks a rule.
bool ParseSecurityData(std::string_view text, const std::string& file_name, SecurityData* data,
                       std::string* error);

// The key under which a group list of the user is kept: "DOMAIN\user" when
// the domain is given, else the user name, case-folded.
std::string GroupKey(std::string_view domain, std::string_view user);

}  // namespace qrn::secd
