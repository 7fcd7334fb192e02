// qrnauth groups USER: the groups the group resolution finds for a user.
#include <iostream>
#include <string>
#include <vector>

#include "qrnauth/qrnauthorize.h"
#include "command.h"

namespace {

using qrn::cli::Arguments;
using qrn::cli::CommandError;

int Groups(Arguments& args) {
  const std::string user = args.Next("USER");
  args.Finish();
  CQRNAuthorize authorizer;
  // The load asks the server for its protocol and local groups levels and
  // gives the Novell path its roles; the groups do not depend on its data.
  authorizer.InitCache(user.c_str(), QRN_CLEAR_CACHE_GROUPS);
  std::string domain;
  std::vector<std::string> groups;
  int count = 0;
  const HRESULT hr = authorizer.GroupNames(user.c_str(), domain, groups, count);
  if (FAILED(hr)) throw CommandError("GroupNames failed: " + qrn::cli::FormatHresult(hr));
  if (!domain.empty()) std::cout << "domain: " << domain << "\n";
  for (const std::string& group : groups) std::cout << group << "\n";
  return count > 0 ? qrn::cli::kExitOk : qrn::cli::kExitNo;
}

}  // namespace

QRN_CLI_COMMAND("groups", "the groups of a user, as roles name them",
                "usage: qrnauth groups USER\n"
                "Resolves the groups of USER (DOMAIN\\name, or a plain name) the way the\n"
                "role lookup does: from the security server, the directory or the name\n"
                "service, with the local groups, and prints one group per line.\n"
                "Exit 0 when groups were found, 1 when none.",
                Groups);
