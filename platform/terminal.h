// Reading a secret from standard input.
#pragma once

#include <string>

namespace qrn::platform {

// Reads one line from standard input without its line end. When standard
// input is a terminal, prompt goes to standard error first and the terminal
// does not echo what is typed. False at end of input before any character.
bool ReadSecretLine(const char* prompt, std::string* line);

}  // namespace qrn::platform
