#include "platform/log_text.h"

namespace qrn::platform {

std::string EscapeLogText(std::string_view text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out.push_back(c);
      continue;
    }
    out.push_back('\\');
    switch (c) {
      case '\n':
        out.push_back('n');
        break;
      case '\r':
        out.push_back('r');
        break;
      case '\t':
        out.push_back('t');
        break;
      default:
        out.push_back('x');
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0xF]);
        break;
    }
  }
  return out;
}

}  // namespace qrn::platform
