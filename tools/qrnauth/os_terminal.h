// Reading a secret from standard input.
#pragma once

#include <cstddef>
#include <string>

namespace qrn::cli {

enum class SecretLine {
  kRead,     // a line (possibly empty) is in *line
  kEnd,      // end of input before any character
  kTooLong,  // more than max_bytes before the line end; *line is empty
};

// Reads one line from standard input without its line end (LF, or CR LF).
// When standard input is a terminal, prompt goes to standard error first and
// the terminal does not echo what is typed. At most max_bytes + 1 bytes are
// read: input without a line end never reads until memory runs out. What
// was read is wiped from memory whenever it is not handed back.
SecretLine ReadSecretLine(const char* prompt, size_t max_bytes, std::string* line);

}  // namespace qrn::cli
