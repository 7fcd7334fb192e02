// qrnauth server check: the cache-flag decision of this process, as an
// authorizer takes it before a load, with what the server answered.
#include <cstdio>
#include <iostream>
#include <string>

#include "frame/config.h"
#include "platform/os.h"
#include "security/common/qrncache.h"
#include "tools/qrnauth/command.h"

namespace {

using qrn::cli::Arguments;
using qrn::cli::CommandError;

constexpr uint32_t kPathBuffer = 260;

int ServerCheck(Arguments& args) {
  args.Finish();
  char url[kPathBuffer];
  uint32_t url_size = sizeof url;
  if (FAILED(qrn::GetAuthUrl(url, &url_size))) url[0] = '\0';

  int16_t flag = 0;
  std::string timestamp;
  bool timestamp_given = false;
  {
    // A sentinel tells a delivered empty timestamp from none delivered.
    std::string delivered = std::string(1, '\0');
    const HRESULT hr = qrn::QrnGetCacheFlag(&flag, &delivered);
    if (FAILED(hr))
      throw CommandError("the cache-flag decision failed: " + qrn::cli::FormatHresult(hr));
    timestamp_given = delivered != std::string(1, '\0');
    if (timestamp_given) timestamp = delivered;
  }
  const bool asked = qrn::CacheFlagAskedServer();
  char level[32];
  std::snprintf(level, sizeof level, "%.1f", static_cast<double>(qrn::ServerProtocolLevel()));

  std::cout << "url: " << url << "\n"
            << "library: " << qrn::platform::ModuleFileName() << "\n"
            << "host: " << qrn::platform::HostFileName() << "\n"
            << "cache-flag: " << flag << (flag == -1 ? " (local cache)" : " (security server)")
            << "\n"
            << "server-contacted: " << (asked ? "yes" : "no") << "\n"
            << "available: " << (asked ? (flag == 0 ? "yes" : "no") : "not asked") << "\n"
            << "local-groups-level: " << qrn::LocalGroupsLevel() << "\n"
            << "protocol-level: " << level << "\n"
            << "server-timestamp: " << timestamp << "\n";
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
