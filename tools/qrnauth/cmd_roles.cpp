// qrnauth roles [--user U] | all-roles | role-info NAME|ID: the roles of a
// user, every loaded role, and one role record.
#include <iostream>
#include <optional>
#include <string>

#include "qrnauth/admin.h"
#include "qrnauth/qrnauthorize.h"
#include "command.h"

namespace {

using qrn::cli::Arguments;
using qrn::cli::CommandError;

void Load(CQRNAuthorize& authorizer, const std::optional<std::string>& user) {
  if (!authorizer.InitCache(user ? user->c_str() : nullptr, QRN_CLEAR_CACHE_GROUPS))
    throw CommandError("the security data could not be loaded (see --trail)");
}

std::string Element(SAFEARRAY* array, LONG i) {
  BSTR text = nullptr;
  if (FAILED(SafeArrayGetElement(array, &i, &text)) || text == nullptr) return "";
  std::string out = qrn::admin::BstrToUtf8(text);
  SysFreeString(text);
  return out;
}

// "ID  NAME" lines of two parallel arrays; the count of lines.
int PrintPairs(const VARIANT& names, const VARIANT& ids) {
  if (names.vt != (VT_ARRAY | VT_BSTR)) return 0;
  LONG last = -1;
  SafeArrayGetUBound(names.parray, 1, &last);
  for (LONG i = 0; i <= last; ++i) {
    const std::string id = ids.vt == (VT_ARRAY | VT_BSTR) ? Element(ids.parray, i) : "";
    std::cout << id << "  " << Element(names.parray, i) << "\n";
  }
  return static_cast<int>(last + 1);
}

int Roles(Arguments& args) {
  const std::optional<std::string> user = args.Option("--user");
  args.Finish();
  CQRNAuthorize authorizer;
  Load(authorizer, user);
  VARIANT names, ids;
  VariantInit(&names);
  VariantInit(&ids);
  const HRESULT hr = authorizer.GetRoles(user ? user->c_str() : nullptr, &names, &ids);
  if (FAILED(hr)) throw CommandError("GetRoles failed: " + qrn::cli::FormatHresult(hr));
  const int count = PrintPairs(names, ids);
  VariantClear(&names);
  VariantClear(&ids);
  return count > 0 ? qrn::cli::kExitOk : qrn::cli::kExitNo;
}

int AllRoles(Arguments& args) {
  args.Finish();
  CQRNAuthorize authorizer;
  Load(authorizer, std::nullopt);
  VARIANT names, ids;
  VariantInit(&names);
  VariantInit(&ids);
  const HRESULT hr = authorizer.GetAllRoles(&names, &ids);
  if (FAILED(hr)) throw CommandError("GetAllRoles failed: " + qrn::cli::FormatHresult(hr));
  PrintPairs(names, ids);
  VariantClear(&names);
  VariantClear(&ids);
  return qrn::cli::kExitOk;
}

int RoleInfo(Arguments& args) {
  const std::string key = args.Next("NAME|ID");
  args.Finish();
  CQRNAuthorize authorizer;
  Load(authorizer, std::nullopt);
  CQRNRole* role = nullptr;
  if (FAILED(authorizer.GetRoleInfo(key.c_str(), &role)) || role == nullptr) {
    std::cout << "no such role: " << key << "\n";
    return qrn::cli::kExitNo;
  }
  std::cout << "id: " << role->roleId << "\nname: " << role->roleName << "\n";
  for (const CQRNRoleMemberUser* member : role->userMembers)
    if (member != nullptr) std::cout << "user: " << member->memberName << "\n";
  for (const CQRNRoleMemberGroup* member : role->groupMembers)
    if (member != nullptr) std::cout << "group: " << member->memberName << "\n";
  return qrn::cli::kExitOk;
}

}  // namespace

QRN_CLI_COMMAND("roles", "the roles a user holds",
                "usage: qrnauth roles [--user USER]\n"
                "Loads the security data and prints \"ID  NAME\" for each role that USER\n"
                "(default: the current user) holds, through a user member or a group.\n"
                "Exit 0 when USER holds a role, 1 when none.",
                Roles);
QRN_CLI_COMMAND("all-roles", "every loaded role",
                "usage: qrnauth all-roles\n"
                "Loads the security data and prints \"ID  NAME\" for every role.",
                AllRoles);
QRN_CLI_COMMAND("role-info", "one role and its members",
                "usage: qrnauth role-info NAME|ID\n"
                "Prints the role whose identifier (a key beginning with \"{\") or name\n"
                "(compared with case) is given, with its user and group members.\n"
                "Exit 1 when there is no such role.",
                RoleInfo);
