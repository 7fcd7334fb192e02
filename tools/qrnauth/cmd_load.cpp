// qrnauth load [--user U] | refresh: load the security data as a host does
// (from the server or the local cache files) and say what was loaded.
#include <iostream>
#include <optional>
#include <string>

#include "command.h"
#include "qrnauth/admin.h"
#include "qrnauth/qrnauthorize.h"

namespace {

using qrn::cli::Arguments;

void PrintLoaded(const CQRNAuthorize& authorizer) {
  const qrn::admin::LoadedState state = qrn::admin::DescribeLoaded(authorizer);
  std::cout << "source: " << (state.from_server ? "server" : "cache") << "\n"
            << "timestamp: " << state.timestamp << "\n"
            << "applications: " << state.applications << "\n"
            << "roles: " << state.roles << "\n";
}

int Load(Arguments& args) {
  const std::optional<std::string> user = args.Option("--user");
  args.Finish();
  CQRNAuthorize authorizer;
  const bool loaded = user ? authorizer.InitCache(user->c_str(), QRN_CLEAR_CACHE_GROUPS)
                           : authorizer.InitCache(nullptr, QRN_CLEAR_CACHE_GROUPS);
  if (!loaded) {
    std::cout << "loaded: no\n";
    return qrn::cli::kExitNo;
  }
  PrintLoaded(authorizer);
  return qrn::cli::kExitOk;
}

int Refresh(Arguments& args) {
  args.Finish();
  CQRNAuthorize authorizer;
  if (!authorizer.InitCache(nullptr, QRN_CLEAR_CACHE_GROUPS)) {
    std::cout << "loaded: no\n";
    return qrn::cli::kExitNo;
  }
  bool refreshed = false;
  const bool loaded = authorizer.RefreshCache(refreshed, QRN_CLEAR_CACHE_GROUPS);
  std::cout << "refreshed: " << (refreshed ? "yes" : "no") << "\n";
  if (!loaded) {
    std::cout << "loaded: no\n";
    return qrn::cli::kExitNo;
  }
  PrintLoaded(authorizer);
  return qrn::cli::kExitOk;
}

}  // namespace

QRN_CLI_COMMAND("load", "load the security data and say from where",
                "usage: qrnauth load [--user USER]\n"
                "Loads the security data for USER (default: the current user) from the\n"
                "security server or, when the server's data has not changed or the server\n"
                "cannot be reached, from the local cache files, and prints the source, the\n"
                "timestamp and the numbers of applications and roles. Exit 0 when loaded,\n"
                "1 when not (see --trail).",
                Load);
QRN_CLI_COMMAND("refresh", "load, then ask the server whether its data changed",
                "usage: qrnauth refresh\n"
                "Loads the security data, asks the server again and reloads when its\n"
                "timestamp changed; prints whether it reloaded and what is loaded.",
                Refresh);
