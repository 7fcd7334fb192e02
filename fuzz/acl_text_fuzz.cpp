// Evaluates arbitrary decrypted ACL texts. Input: 4 bytes of access mask,
// the role name up to the first newline, then the ACL text. The answer must
// match a plain reference evaluation built on strtoll, and obey the rules
// that hold whatever the text: access 0 or several bits is never granted.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "security/common/qrnacl.h"

namespace {

// The first entry named role decides, read as strtol with a 32-bit long.
bool Reference(std::string_view text, std::string_view role, uint32_t access) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(';', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty()) continue;
    const size_t colon = item.find(':');
    const std::string_view name = colon == std::string_view::npos ? "" : item.substr(0, colon);
    if (!qrn::platform::EqualsNoCase(name, role)) continue;
    if (colon == std::string_view::npos || colon + 1 == item.size()) return false;
    const std::string mask(item.substr(colon + 1));
    errno = 0;
    long long value = std::strtoll(mask.c_str(), nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    if (value == INT32_MAX || value == INT32_MIN) return false;
    if (access == 0 || (access & (access - 1)) != 0) return false;
    return (static_cast<uint32_t>(value) & access) != 0;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t access;
  std::memcpy(&access, data, 4);
  std::string_view rest(reinterpret_cast<const char*>(data + 4), size - 4);
  // The store reads texts up to their first NUL, and strtoll would too.
  rest = rest.substr(0, rest.find('\0'));
  const size_t newline = rest.find('\n');
  const std::string_view role = rest.substr(0, newline);
  const std::string_view text =
      newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);

  const bool answer = qrn::EvaluateAclText(text, role, access);
  if (answer != Reference(text, role, access)) __builtin_trap();
  if (answer && (access == 0 || (access & (access - 1)) != 0)) __builtin_trap();
  // Parsed once and asked again gives the same answer.
  const qrn::AclEntries entries = qrn::ParseAclText(text);
  if (qrn::AclEntriesAllow(entries, role, access) != answer) __builtin_trap();
  for (const qrn::AclEntry& entry : entries)
    if (entry.name.size() > text.size()) __builtin_trap();
  return 0;
}
