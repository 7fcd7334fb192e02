// qrnauth identity: the identity that "qrnauth login --save" (or a host's
// SaveIdentity) left for the processes of this user. Never the password.
#include <iostream>

#include "qrnauth/admin.h"
#include "qrnauth/qrnauthenticate.h"
#include "command.h"

namespace {

int Identity(qrn::cli::Arguments& args) {
  args.Finish();
  // The mark tells the two saved states apart: GetAuthenticatedIdentity
  // answers the mark with this process's own user.
  if (qrn::admin::ReadSavedIdentity().os_user) {
    std::cout << "operating-system user\n";
    return qrn::cli::kExitOk;
  }
  char domain[256] = {};
  char user[256] = {};
  CQRNAuthenticate auth;
  if (!auth.GetAuthenticatedIdentity(domain, user)) {
    std::cout << "none\n";
    return qrn::cli::kExitNo;
  }
  std::cout << domain << '\\' << user << '\n';
  return qrn::cli::kExitOk;
}

}  // namespace

QRN_CLI_COMMAND("identity", "the saved identity of this user's processes",
                "usage: qrnauth identity\n"
                "Prints the identity saved for the processes of this user: DOMAIN\\user\n"
                "for a named identity, \"operating-system user\" when each process acts as\n"
                "its own user, or \"none\" (exit 1) when nothing is saved. The password is\n"
                "never shown.",
                Identity);
