// Treats the input as the content of a cache file: decrypts it as the reader
// does and parses the result with the XML component.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/text.h"
#include "qrnauth/qrnxml.h"
#include "security/common/qrncrypt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string plain(text.size() + 1, '\0');
  (void)qrn::DecryptText(nullptr, text.c_str(), plain.data(), static_cast<int>(text.size()));
  plain.resize(std::char_traits<char>::length(plain.c_str()));
  IQrnXml2* xml = nullptr;
  if (FAILED(CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                              reinterpret_cast<void**>(&xml))))
    return 0;
  std::u16string wide = qrn::platform::Utf8ToUtf16(plain);
  BSTR document = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
  if (xml->put_XmlString(document) == S_OK) {
    std::u16string tag = u"QRNROLES";
    BSTR name = SysAllocStringLen(tag.data(), static_cast<unsigned int>(tag.size()));
    IDispatch* element = nullptr;
    if (xml->FindElement(nullptr, name, &element) == S_OK) {
      BSTR value = nullptr;
      if (SUCCEEDED(xml->GetElementText(element, &value))) SysFreeString(value);
      element->Release();
    }
    SysFreeString(name);
  }
  SysFreeString(document);
  xml->Release();
  return 0;
}
