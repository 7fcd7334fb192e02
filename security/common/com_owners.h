// The owners of COM and OLE objects used across the library: interface
// pointers released and BSTRs freed when they go out of scope.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "qrnauth/com.h"
#include "qrnauth/oleauto.h"

namespace qrn {

template <typename T>
struct ComReleaser {
  void operator()(T* p) const {
    if (p != nullptr) p->Release();
  }
};
template <typename T>
using ComRef = std::unique_ptr<T, ComReleaser<T>>;

struct BstrFreer {
  void operator()(OLECHAR* text) const { SysFreeString(text); }
};
using BstrRef = std::unique_ptr<OLECHAR, BstrFreer>;

// A new BSTR of the UTF-8 text; throws std::bad_alloc when none can be had.
inline BSTR NewBstr(std::string_view text) {
  const std::u16string wide = platform::Utf8ToUtf16(text);
  BSTR b = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
  if (b == nullptr) throw std::bad_alloc();
  return b;
}
inline BstrRef MakeBstrRef(std::string_view text) { return BstrRef(NewBstr(text)); }

// The UTF-8 text of a BSTR (null reads as empty).
inline std::string BstrText(BSTR text) {
  if (text == nullptr) return std::string();
  return platform::Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

}  // namespace qrn
