// The administration interface's text helpers: the library's own conversions
// and comparison, so that tools compare and escape names exactly as it does.
#include <string>

#include "platform/log_text.h"
#include "platform/text.h"
#include "qrnauth/admin.h"

namespace qrn::admin {

std::string BstrToUtf8(BSTR text) {
  if (text == nullptr) return std::string();
  return platform::Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

BSTR Utf8ToBstr(std::string_view text) {
  const std::u16string wide = platform::Utf8ToUtf16(text);
  return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}

bool EqualsNoCase(std::string_view left, std::string_view right) {
  return platform::EqualsNoCase(left, right);
}

std::string_view TrimWhite(std::string_view text) { return platform::TrimWhite(text); }

std::string EscapeLogText(std::string_view text) { return platform::EscapeLogText(text); }

}  // namespace qrn::admin
