// qrnauth check [--user U] OBJECT PERMISSION: one access check as a host
// makes it, after loading the security data for the user.
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

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

int Check(Arguments& args) {
  const std::optional<std::string> user = args.Option("--user");
  const std::string object = args.Next("OBJECT");
  const unsigned int permission = ParsePermission(args.Next("PERMISSION"));
  args.Finish();
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
                "usage: qrnauth check [--user USER] OBJECT PERMISSION\n"
                "Loads the security data for USER (default: the current user) and asks\n"
                "whether one of USER's roles holds the single permission bit PERMISSION\n"
                "(decimal or 0x hex) on the secured object OBJECT. Prints \"granted\" and\n"
                "exits 0, or prints \"denied\" and exits 1; exit 2 when nothing could be\n"
                "loaded.",
                Check);
