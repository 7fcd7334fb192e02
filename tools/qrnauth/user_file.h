// The user file of the NTLM acceptor (named by NTLM_USER_FILE): one entry a
// line, either plain text "DOMAIN:user:password" or the NT-hash form
// "DOMAIN\\user:uid:LM:NTHASH:flags:LCT:" with the NT hash as 32 hex digits.
// The mechanism hashes a plain-text password on every attempt (and leaks
// memory doing so); the NT-hash form keeps no password at all.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qrn::cli {

// The acceptor refuses a larger user file, so nothing larger is rewritten.
constexpr size_t kMaxUserFileBytes = size_t{16} << 20;

// Number of plain-text entries (exactly three fields: domain, user, password)
// in content. Blank lines, "#" comments, NT-hash entries and lines of fewer
// or more fields are not entries of that kind.
size_t CountPlainEntries(std::string_view content);

struct UserFileRewrite {
  std::string content;   // the file with every plain-text entry hashed
  size_t rewritten = 0;  // entries rewritten
  size_t bad_line = 0;   // 1-based line whose password has no NT hash (not UTF-8); 0: none
};

// Rewrites every plain-text entry into the NT-hash form and keeps every other
// line, and every line ending, byte for byte. The password is the third
// field (a trailing "\r" belongs to the line end,
// as the mechanism reads it).
// An entry without a domain (":user:password") becomes "user:..." with no
// domain part. False (with bad_line set) when a password is not valid UTF-8
// or the NT hash cannot be computed; nothing is rewritten then.
bool HashPlainEntries(std::string_view content, UserFileRewrite* result);

}  // namespace qrn::cli
