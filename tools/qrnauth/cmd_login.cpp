// qrnauth login: checks a user's credentials with the in-process NTLM
// conversation, as hosts do with AuthenticateUser.
#include <cstdlib>
#include <iostream>
#include <string>

#include "os_terminal.h"
#include "qrnauth/admin.h"
#include "qrnauth/qrnauthenticate.h"
#include "command.h"
#include "user_file.h"

namespace {

constexpr size_t kMaxPasswordBytes = 255;

// Wipes the password copy when the command ends.
struct Secret {
  std::string text;
  ~Secret() {
    volatile char* p = text.data();
    for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  }
};

// One line on standard error when the acceptor's user file still keeps
// passwords in plain text: they are readable to whoever reads the file, and
// the mechanism leaks memory hashing them on every check. A file that cannot
// be read says nothing here; the check itself reports what matters.
void WarnAboutPlainUserFile() {
  const char* path = std::getenv("NTLM_USER_FILE");
  if (path == nullptr || *path == '\0') return;
  std::string content;
  qrn::admin::FileLimits limits;
  limits.max_bytes = qrn::cli::kMaxUserFileBytes;
  limits.follow_links = true;  // the mechanism follows it too
  if (qrn::admin::ReadFileChecked(path, &content, limits).state != qrn::admin::FileState::kRead)
    return;
  size_t plain = qrn::cli::CountPlainEntries(content);
  volatile char* wipe = content.data();
  for (size_t i = 0; i < content.size(); ++i) wipe[i] = 0;
  if (plain == 0) return;
  std::cerr << "qrnauth login: warning: " << qrn::admin::EscapeLogText(path) << " holds "
            << plain << " plain-text password " << (plain == 1 ? "entry" : "entries")
            << "; \"qrnauth userfile hash\" stores NT hashes instead\n";
}

int Login(qrn::cli::Arguments& args) {
  std::string domain = args.Option("--domain").value_or("");
  std::string user = args.RequiredOption("--user");
  bool save = args.Flag("--save");
  bool auth_trail = args.Flag("--auth-trail");
  args.Finish();
  Secret password;
  // A password has at most 255 bytes; reading stops soon after that, so a
  // standard input without a line end cannot fill the memory.
  if (qrn::cli::ReadSecretLine("Password: ", kMaxPasswordBytes, &password.text) ==
      qrn::cli::SecretLine::kTooLong) {
    throw qrn::cli::CommandError("the password is longer than " +
                                 std::to_string(kMaxPasswordBytes) + " bytes");
  }

  CQRNAuthenticate auth;
  bool ok = auth.AuthenticateUser(domain.c_str(), user.c_str(), password.text.c_str());
  std::cout << (ok ? "authenticated" : "denied") << '\n';
  WarnAboutPlainUserFile();
  // Only a check that passed is saved for the other processes of this user.
  if (ok && save) auth.SaveIdentity();
  if (auth_trail) qrn::cli::PrintTrail(std::cout, CQRNAuthenticate::GetLastMvtErrors());
  return ok ? qrn::cli::kExitOk : qrn::cli::kExitNo;
}

}  // namespace

QRN_CLI_COMMAND("login", "check a user's password with NTLM",
                "usage: qrnauth login [--domain D] --user U [--save] [--auth-trail]\n"
                "Reads the password from standard input (without echo on a terminal;\n"
                "at most 255 bytes, a longer line is an error, exit 2),\n"
                "checks domain, user and password with an in-process NTLM conversation\n"
                "and prints \"authenticated\" (exit 0) or \"denied\" (exit 1). An empty\n"
                "user, domain and password stand for the current operating-system user.\n"
                "--save keeps the identity for other processes of this user (see\n"
                "\"qrnauth identity\"); an empty user saves the operating-system user.\n"
                "--auth-trail prints the authentication trail afterwards (the global\n"
                "--trail prints the authorization trail). A warning goes to standard\n"
                "error when the file named by NTLM_USER_FILE still holds plain-text\n"
                "passwords (see \"qrnauth userfile hash\").",
                Login);
