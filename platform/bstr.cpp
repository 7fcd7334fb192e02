// BSTR: UTF-16 code units preceded by a 32-bit byte count and followed by a
// NUL code unit. The BSTR points at the first code unit; the block starts at
// the byte count. Allocation failures answer null, never throw.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "platform/text.h"
#include "qrnauth/oleauto.h"

namespace {

constexpr size_t kPrefixBytes = sizeof(uint32_t);

uint32_t ByteCount(BSTR text) {
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - kPrefixBytes, sizeof bytes);
  return bytes;
}

// A block for byte_length bytes of text plus a two-byte terminator; the text
// bytes are copied from data, or zeroed when data is null.
BSTR AllocateBytes(const void* data, size_t byte_length) {
  // The byte count must fit in 32 bits, with room for prefix and terminator.
  if (byte_length > std::numeric_limits<uint32_t>::max() - kPrefixBytes - 2 * sizeof(OLECHAR))
    return nullptr;
  size_t total = kPrefixBytes + byte_length + 2 * sizeof(OLECHAR);
  char* block = static_cast<char*>(std::malloc(total));
  if (block == nullptr) return nullptr;
  uint32_t count = static_cast<uint32_t>(byte_length);
  std::memcpy(block, &count, sizeof count);
  char* text = block + kPrefixBytes;
  if (data != nullptr)
    std::memcpy(text, data, byte_length);
  else
    std::memset(text, 0, byte_length);
  std::memset(text + byte_length, 0, total - kPrefixBytes - byte_length);
  return reinterpret_cast<BSTR>(text);
}

size_t UnitLength(const OLECHAR* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  return AllocateBytes(text, UnitLength(text) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* text, unsigned int length) {
  if (length > std::numeric_limits<uint32_t>::max() / sizeof(OLECHAR)) return nullptr;
  return AllocateBytes(text, static_cast<size_t>(length) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* bytes, unsigned int length) {
  return AllocateBytes(bytes, length);
}

int SysReAllocString(BSTR* target, const OLECHAR* text) {
  if (target == nullptr) return 0;
  // Allocate first: text may point into the old BSTR.
  BSTR fresh = nullptr;
  if (text != nullptr) {
    fresh = SysAllocString(text);
    if (fresh == nullptr) return 0;
  }
  SysFreeString(*target);
  *target = fresh;
  return 1;
}

void SysFreeString(BSTR text) {
  if (text == nullptr) return;
  std::free(reinterpret_cast<char*>(text) - kPrefixBytes);
}

unsigned int SysStringLen(BSTR text) {
  return text == nullptr ? 0 : ByteCount(text) / sizeof(OLECHAR);
}

unsigned int SysStringByteLen(BSTR text) { return text == nullptr ? 0 : ByteCount(text); }

HRESULT VarBstrCmp(BSTR left, BSTR right, LCID /*locale*/, ULONG flags) {
  try {
    std::u16string_view a(left == nullptr ? u"" : left, SysStringLen(left));
    std::u16string_view b(right == nullptr ? u"" : right, SysStringLen(right));
    int order;
    if (flags & NORM_IGNORECASE) {
      std::string fa = qrn::platform::FoldCase(qrn::platform::Utf16ToUtf8(a));
      std::string fb = qrn::platform::FoldCase(qrn::platform::Utf16ToUtf8(b));
      order = fa.compare(fb);
    } else {
      order = a.compare(b);  // code unit by code unit
    }
    return order < 0 ? VARCMP_LT : order > 0 ? VARCMP_GT : VARCMP_EQ;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // extern "C"
