// Parses arbitrary text with the XML component and walks every element:
// children by position and by tag, text, attributes, and ACL key lookups.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/text.h"
#include "qrnauth/qrnxml.h"

namespace {

BSTR NewBstr(const std::string& utf8) {
  std::u16string wide = qrn::platform::Utf8ToUtf16(utf8);
  return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}

void Walk(IXMLElement* element, int depth) {
  BSTR text = nullptr;
  if (SUCCEEDED(element->get_text(&text))) SysFreeString(text);
  BSTR tag = nullptr;
  if (SUCCEEDED(element->get_tagName(&tag))) {
    VARIANT value;
    if (SUCCEEDED(element->getAttribute(tag, &value))) VariantClear(&value);
  }
  if (depth > 32) {
    SysFreeString(tag);
    return;
  }
  IXMLElementCollection* children = nullptr;
  if (FAILED(element->get_children(&children))) {
    SysFreeString(tag);
    return;
  }
  LONG length = 0;
  children->get_length(&length);
  VARIANT empty;
  VariantInit(&empty);
  for (LONG i = -1; i <= length && i < 64; ++i) {
    VARIANT index;
    VariantInit(&index);
    index.vt = VT_I4;
    index.lVal = i;
    IDispatch* item = nullptr;
    if (children->item(index, empty, &item) == S_OK) {
      void* child = nullptr;
      if (SUCCEEDED(item->QueryInterface(IID_IXMLElement, &child))) {
        Walk(static_cast<IXMLElement*>(child), depth + 1);
        static_cast<IXMLElement*>(child)->Release();
      }
      item->Release();
    }
  }
  VARIANT by_tag;
  VariantInit(&by_tag);
  by_tag.vt = VT_BSTR;
  by_tag.bstrVal = tag;
  IDispatch* named = nullptr;
  if (children->item(by_tag, empty, &named) == S_OK) named->Release();
  SysFreeString(tag);
  children->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  IQrnXml2* xml = nullptr;
  if (FAILED(CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                              reinterpret_cast<void**>(&xml))))
    return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  BSTR document = NewBstr(text);
  IDispatch* root = nullptr;
  if (xml->put_XmlString(document) == S_OK) {
    for (const char* tag : {"DOCUMENT", "QRNAPPLS", "QRNROLES", "ACL"}) {
      BSTR name = NewBstr(tag);
      if (xml->FindElement(nullptr, name, &root) == S_OK) {
        BSTR element_text = nullptr;
        if (SUCCEEDED(xml->GetElementText(root, &element_text))) SysFreeString(element_text);
        void* element = nullptr;
        if (SUCCEEDED(root->QueryInterface(IID_IXMLElement, &element))) {
          Walk(static_cast<IXMLElement*>(element), 0);
          static_cast<IXMLElement*>(element)->Release();
        }
        root->Release();
      }
      SysFreeString(name);
    }
    void* acl = nullptr;
    if (SUCCEEDED(xml->QueryInterface(IID_IQrnXml, &acl))) {
      // Keys: a prefix of the input, and the empty key.
      for (size_t cut : {size_t{0}, size / 3, size / 2}) {
        BSTR key = NewBstr(text.substr(0, cut));
        BSTR value = nullptr;
        if (static_cast<IQrnXml*>(acl)->LookupValue(key, &value) == S_OK) SysFreeString(value);
        SysFreeString(key);
      }
      static_cast<IQrnXml*>(acl)->Release();
    }
  }
  SysFreeString(document);
  xml->Release();
  return 0;
}
