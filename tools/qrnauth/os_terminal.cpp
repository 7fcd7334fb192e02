#include "os_terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace qrn::cli {
namespace {

void Wipe(std::string* text) {
  volatile char* p = text->data();
  for (size_t i = 0; i < text->size(); ++i) p[i] = 0;
  text->clear();
}

}  // namespace

SecretLine ReadSecretLine(const char* prompt, size_t max_bytes, std::string* line) {
  Wipe(line);
  // Room for the text and a CR, reserved once: growing the string would
  // leave copies of the secret in released memory.
  line->reserve(max_bytes + 1);
  termios saved{};
  bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  bool any = false, too_long = false;
  for (int c = std::cin.get(); c != std::char_traits<char>::eof(); c = std::cin.get()) {
    any = true;
    if (c == '\n') break;
    if (line->size() > max_bytes) {  // max_bytes and a possible CR are in already
      too_long = true;
      break;
    }
    line->push_back(static_cast<char>(c));
  }
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  if (!too_long && line->size() > max_bytes) too_long = true;  // no CR after all
  if (too_long) {
    Wipe(line);
    return SecretLine::kTooLong;
  }
  return any ? SecretLine::kRead : SecretLine::kEnd;
}

}  // namespace qrn::cli
