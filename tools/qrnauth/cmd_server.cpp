// qrnauth server check: the cache-flag decision of this process, as an
// authorizer takes it before a load, with what the server answered.
#include <cstdio>
#include <iostream>
#include <string>

#include "command.h"
#include "qrnauth/admin.h"

namespace {

using qrn::cli::Arguments;
using qrn::cli::CommandError;

int ServerCheck(Arguments& args) {
  args.Finish();
  const std::string url = qrn::admin::ServerUrl();
  const qrn::admin::CacheFlagDecision decision = qrn::admin::DecideCacheFlag();
  if (FAILED(decision.result))
    throw CommandError("the cache-flag decision failed: " +
                       qrn::cli::FormatHresult(decision.result));
  const int16_t flag = decision.flag;
  const bool asked = decision.server_asked;
  char level[32];
  std::snprintf(level, sizeof level, "%.1f", static_cast<double>(decision.protocol_level));

  std::cout << "url: " << url << "\n"
            << "library: " << qrn::admin::LibraryFileName() << "\n"
            << "host: " << qrn::admin::HostFileName() << "\n"
            << "cache-flag: " << flag << (flag == -1 ? " (local cache)" : " (security server)")
            << "\n"
            << "server-contacted: " << (asked ? "yes" : "no") << "\n"
            << "available: " << (asked ? (flag == 0 ? "yes" : "no") : "not asked") << "\n"
            << "local-groups-level: " << decision.local_groups_level << "\n"
            << "protocol-level: " << level << "\n"
            << "server-timestamp: " << decision.server_timestamp << "\n";
  return flag == 0 ? qrn::cli::kExitOk : qrn::cli::kExitNo;
}

}  // namespace

QRN_CLI_COMMAND("server check", "decide between the security server and the local cache",
                "usage: qrnauth server check\n"
                "Takes the cache-flag decision as an authorizer does before it loads: by\n"
                "the library's and the program's file names, \"LocalProfile\" and the\n"
                "combined request to the configured server. Prints the flag, whether the\n"
                "server was contacted and answered, the local groups level, the server\n"
                "protocol level and the server timestamp. Exit status 0 when the security\n"
                "server is used, 1 when the local cache is.",
                ServerCheck);
