// qrnauth check [--user U] [--explain] OBJECT PERMISSION: one access check as
// a host makes it, after loading the security data for the user; --explain
// also prints what the check used.
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "qrnauth/explain.h"
#include "qrnauth/qrnauthorize.h"
#include "command.h"

namespace {

using qrn::cli::Arguments;
using qrn::cli::CommandError;
using qrn::cli::UsageError;

// A permission is one bit, given as a number (decimal or 0x hex).
unsigned int ParsePermission(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || text[0] == '-' || end == nullptr || *end != '\0' || errno != 0 ||
      value > 0xFFFFFFFFul)
    throw UsageError("PERMISSION must be a number from 0 to 0xFFFFFFFF: " + text);
  return static_cast<unsigned int>(value);
}

// After the answer: the user's groups and where they came from, the roles
// the user holds and what matched each, and the object's ACL entries with
// each role's lookup in them.
void PrintExplanation(const qrn::admin::CheckExplanation& e) {
  std::cout << "groups (" << qrn::admin::GroupOriginName(e.groupOrigin) << "):\n";
  if (e.groups.empty()) std::cout << "  (none)\n";
  for (const std::string& group : e.groups) std::cout << "  " << group << "\n";
  std::cout << "roles:\n";
  if (e.roles.empty()) std::cout << "  (none)\n";
  for (const qrn::admin::ExplainedRole& role : e.roles) {
    std::cout << "  " << role.name;
    if (!role.matched.empty())
      std::cout << "  (" << (role.byUser ? "user " : "group ") << role.matched << ")";
    std::cout << "\n";
  }
  std::cout << "acl:\n";
  if (e.aclEntries.empty()) std::cout << "  (none)\n";
  auto entry_text = [&e](int index) {
    const qrn::admin::ExplainedAclEntry& entry = e.aclEntries[static_cast<size_t>(index)];
    return entry.name + ":" + entry.mask;
  };
  for (size_t i = 0; i < e.aclEntries.size(); ++i)
    std::cout << "  " << entry_text(static_cast<int>(i)) << "\n";
  std::cout << "lookups:\n";
  if (e.aclLookups.empty()) std::cout << "  (none)\n";
  for (const qrn::admin::ExplainedAclLookup& lookup : e.aclLookups) {
    std::cout << "  " << lookup.role << ": ";
    if (lookup.entry < 0 || static_cast<size_t>(lookup.entry) >= e.aclEntries.size()) {
      std::cout << "no entry\n";
      continue;
    }
    std::cout << entry_text(lookup.entry) << (lookup.allowed ? " allows (decides)\n" : " denies\n");
  }
}

int Check(Arguments& args) {
  const std::optional<std::string> user = args.Option("--user");
  const bool explain = args.Flag("--explain");
  const std::string object = args.Next("OBJECT");
  const unsigned int permission = ParsePermission(args.Next("PERMISSION"));
  args.Finish();
  if (explain) {
    const qrn::admin::CheckExplanation explanation =
        qrn::admin::ExplainCheck(user ? user->c_str() : nullptr, object.c_str(), permission);
    if (!explanation.loaded)
      throw CommandError("the security data could not be loaded (see --trail)");
    std::cout << (explanation.granted ? "granted" : "denied") << "\n";
    PrintExplanation(explanation);
    return explanation.granted ? qrn::cli::kExitOk : qrn::cli::kExitNo;
  }
  CQRNAuthorize authorizer;
  if (!authorizer.InitCache(user ? user->c_str() : nullptr, QRN_CLEAR_CACHE_GROUPS))
    throw CommandError("the security data could not be loaded (see --trail)");
  const bool granted = user ? authorizer.CheckAccess(user->c_str(), object.c_str(), permission)
                            : authorizer.CheckAccess(object.c_str(), permission);
  std::cout << (granted ? "granted" : "denied") << "\n";
  return granted ? qrn::cli::kExitOk : qrn::cli::kExitNo;
}

}  // namespace

QRN_CLI_COMMAND("check", "may a user exercise a permission on an object?",
                "usage: qrnauth check [--user USER] [--explain] OBJECT PERMISSION\n"
                "Loads the security data for USER (default: the current user) and asks\n"
                "whether one of USER's roles holds the single permission bit PERMISSION\n"
                "(decimal or 0x hex) on the secured object OBJECT. Prints \"granted\" and\n"
                "exits 0, or prints \"denied\" and exits 1; exit 2 when nothing could be\n"
                "loaded. --explain prints after the answer the user's groups and where\n"
                "they came from, the roles the user holds and the member or group that\n"
                "matched each, the object's ACL entries, and each role's lookup in them\n"
                "with the entry that decided.",
                Check);
