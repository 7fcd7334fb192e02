#include "security/common/qrnauthenticate/identity_sid.h"

#include <string>

namespace qrn {
namespace {

// A decimal number of at most `max` without sign, blanks or leading text.
bool ParseDecimal(std::string_view text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (n > (max - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *value = n;
  return true;
}

bool ParseHex48(std::string_view text, uint64_t* value) {
  if (text.size() != 14 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  uint64_t n = 0;
  for (char c : text.substr(2)) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return false;
    n = n << 4 | static_cast<uint64_t>(digit);
  }
  *value = n;
  return true;
}

}  // namespace

bool SidFromText(std::string_view text, std::vector<uint8_t>* sid) {
  if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text.substr(1, 3) != "-1-")
    return false;
  std::vector<std::string_view> parts;
  std::string_view rest = text.substr(4);
  for (;;) {
    const size_t dash = rest.find('-');
    parts.push_back(rest.substr(0, dash));
    if (dash == std::string_view::npos) break;
    rest.remove_prefix(dash + 1);
  }
  if (parts.size() - 1 > kMaxSidSubAuthorities) return false;
  uint64_t authority = 0;
  if (!ParseDecimal(parts[0], 0xFFFFFFFFu, &authority) && !ParseHex48(parts[0], &authority))
    return false;
  std::vector<uint8_t> out;
  out.push_back(1);
  out.push_back(static_cast<uint8_t>(parts.size() - 1));
  for (int shift = 40; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(authority >> shift));
  for (size_t i = 1; i < parts.size(); ++i) {
    uint64_t sub = 0;
    if (!ParseDecimal(parts[i], 0xFFFFFFFFu, &sub)) return false;
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(sub >> shift));
  }
  *sid = std::move(out);
  return true;
}

std::vector<uint8_t> InteractiveSid() { return {1, 1, 0, 0, 0, 0, 0, 5, 4, 0, 0, 0}; }

}  // namespace qrn
