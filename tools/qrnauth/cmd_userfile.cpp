// qrnauth userfile hash [FILE]: rewrites the plain-text entries of the NTLM
// user file into the NT-hash form.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "command.h"
#include "qrnauth/admin.h"
#include "user_file.h"

namespace {

using qrn::cli::CommandError;

// Overwrites the plain-text passwords read from the file before the memory
// is released.
struct WipedText {
  std::string text;
  ~WipedText() {
    volatile char* p = text.data();
    for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  }
};

int HashUserFile(qrn::cli::Arguments& args) {
  std::optional<std::string> named = args.NextOptional();
  args.Finish();
  std::string path;
  if (named) {
    path = *named;
  } else if (const char* env = std::getenv("NTLM_USER_FILE"); env != nullptr && *env != '\0') {
    path = env;
  } else {
    throw qrn::cli::UsageError("missing FILE (and NTLM_USER_FILE is not set)");
  }
  const std::string shown = qrn::admin::EscapeLogText(path);

  // No link (the rename would replace the link, not its target), no FIFO or
  // device, and no more than the acceptor itself reads.
  WipedText content;
  qrn::admin::FileLimits limits;
  limits.max_bytes = qrn::cli::kMaxUserFileBytes;
  const qrn::admin::FileRead read = qrn::admin::ReadFileChecked(path, &content.text, limits);
  if (read.state != qrn::admin::FileState::kRead)
    throw CommandError("cannot use " + shown + ": " + read.why);
  // The file holds passwords: one that others can already read (or change)
  // is a problem for its owner to settle first, not one to carry over.
  if ((read.mode & 0066) != 0) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", read.mode & 07777u);
    throw CommandError(shown + " is readable or writable by group or others (mode " + mode +
                       "); make it private first (chmod 600) and change the passwords it held");
  }

  qrn::cli::UserFileRewrite rewrite;
  if (!qrn::cli::HashPlainEntries(content.text, &rewrite)) {
    throw CommandError(shown + ": line " + std::to_string(rewrite.bad_line) +
                       ": the password is not valid UTF-8; nothing was rewritten");
  }
  if (rewrite.rewritten != 0 && !qrn::admin::ReplaceFile(path, rewrite.content))
    throw CommandError("cannot rewrite " + shown + " (is its folder writable?)");
  std::cout << "rewrote " << rewrite.rewritten << " plain-text "
            << (rewrite.rewritten == 1 ? "entry" : "entries") << " of " << shown << '\n';
  return qrn::cli::kExitOk;
}

}  // namespace

QRN_CLI_COMMAND("userfile hash", "store NT hashes instead of passwords in the NTLM user file",
                "usage: qrnauth userfile hash [FILE]\n"
                "Rewrites every plain-text entry \"DOMAIN:user:password\" of the NTLM user\n"
                "file (FILE, or the file named by NTLM_USER_FILE) into the NT-hash form\n"
                "\"DOMAIN\\user:0:XXX...:NTHASH:[U          ]:LCT-00000000:\", which checks\n"
                "the same passwords without keeping them. NT-hash entries, comments,\n"
                "blank and other lines stay as they are. The file is replaced at once\n"
                "(a new file in the same folder, renamed over it) and keeps its mode.\n"
                "Refused (exit 2): a symbolic link, anything but a regular file, a file\n"
                "over 16 MiB, a file that group or others may read or write, and a\n"
                "password that is not valid UTF-8. Prints how many entries it rewrote.",
                HashUserFile);
