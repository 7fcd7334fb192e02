// qrnauth encrypt TEXT / qrnauth decrypt TEXT: the cache text form, for
// preparing server data and reading cache values by hand.
#include <iostream>

#include "qrnauth/admin.h"
#include "command.h"

namespace {

int Encrypt(qrn::cli::Arguments& args) {
  std::string text = args.Next("TEXT");
  args.Finish();
  std::cout << qrn::admin::EncryptCacheText(text) << '\n';
  return qrn::cli::kExitOk;
}

int Decrypt(qrn::cli::Arguments& args) {
  std::string text = args.Next("TEXT");
  args.Finish();
  std::string plain;
  if (!qrn::admin::DecryptCacheText(text, &plain))
    throw qrn::cli::CommandError("not an encrypted text (invalid base64)");
  std::cout << plain << '\n';
  return qrn::cli::kExitOk;
}

}  // namespace

QRN_CLI_COMMAND("encrypt", "encrypt a text into the cache text form",
                "usage: qrnauth encrypt TEXT\n"
                "Prints TEXT encrypted as the cache files and the role and ACL documents\n"
                "hold it (RC4 with the built-in pass phrase, variant base64).",
                Encrypt);
QRN_CLI_COMMAND("decrypt", "decrypt a text of the cache text form",
                "usage: qrnauth decrypt TEXT\n"
                "Prints the plain text of TEXT; exit status 2 when TEXT is not valid\n"
                "base64 of the cache alphabet.",
                Decrypt);
