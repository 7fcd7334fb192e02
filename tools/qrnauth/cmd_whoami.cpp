// qrnauth whoami: the current user and the identity a logon saved.
#include <iostream>
#include <string>

#include "qrnauth/admin.h"
#include "qrnauth/qrnauthenticate.h"
#include "command.h"

namespace {

int WhoAmI(qrn::cli::Arguments& args) {
  args.Finish();
  char domain[256] = {};
  char user[256] = {};
  if (SUCCEEDED(CQRNAuthenticate::GetCurrentContext(domain, user)))
    std::cout << "current: " << domain << "\\" << user << "\n";
  else
    std::cout << "current: (unknown)\n";

  const qrn::admin::SavedIdentity saved = qrn::admin::ReadSavedIdentity();
  if (saved.os_user)
    std::cout << "saved: (the operating-system user)\n";
  else if (saved.domain.empty() && saved.user.empty())
    std::cout << "saved: (none)\n";
  else
    std::cout << "saved: " << saved.domain << "\\" << saved.user << "\n";
  return qrn::cli::kExitOk;
}

}  // namespace

QRN_CLI_COMMAND("whoami", "the current user and the saved identity",
                "usage: qrnauth whoami\n"
                "Prints the operating-system user as DOMAIN\\user, and the identity that a\n"
                "logon saved for the processes of this user (the one InitCache without a\n"
                "user loads for).",
                WhoAmI);
