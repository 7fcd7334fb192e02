// SetSecurityServer: points the whole process at a security server chosen at
// run time, in memory only.
#include <string>
#include <string_view>

#include "frame/config.h"
#include "platform/text.h"
#include "qrnauth/qrnauth.h"

namespace {

// The URL store holds 260 bytes with the terminator.
constexpr size_t kUrlStoreMax = 259;

}  // namespace

extern "C" HRESULT SetSecurityServer(const OLECHAR* key, const OLECHAR* url) {
  try {
    // Code unit by code unit: letter case counts; a null key is the empty text.
    std::u16string given = key ? std::u16string(key) : std::u16string();
    if (given != std::u16string_view(qrn::kSecurityServerKey)) return E_INVALIDARG;

    // A refused URL leaves the previous one, and whether it was known, in force.
    if (!url) return E_FAIL;
    std::string converted;
    if (!qrn::platform::Utf16ToUtf8Strict(url, &converted)) return E_FAIL;
    if (converted.size() > kUrlStoreMax) return E_FAIL;
    qrn::StoreServerUrl(converted);
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}
