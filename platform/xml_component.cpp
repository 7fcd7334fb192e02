// The framework's XML component on pugixml: one object that offers IQrnXml
// (the ACL document, looked up by key through a hash index) and IQrnXml2 (the
// application and role documents, walked through elements).
//
// The ACL document:
//   <DOCUMENT><QRNACLS><ACL KEY="object key">encrypted ACL text</ACL>...
//   <ACLCOUNT>n</ACLCOUNT></QRNACLS></DOCUMENT>
#include "platform/xml_component.h"

#include <cstring>
#include <deque>
#include <new>
#include <vector>

#include "platform/text.h"
#include "platform/xml_document_check.h"
#include "platform/xml_element.h"

extern "C" {
const CLSID CLSID_QrnXml = {
    0x063bf275, 0x38ec, 0x4c11, {0x86, 0x31, 0x5d, 0x23, 0x1d, 0x29, 0x04, 0x4a}};
const IID IID_IDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IXMLElement = {
    0x4d7b7243, 0xdff4, 0x45fd, {0xbf, 0xed, 0xaf, 0x56, 0x12, 0x8a, 0xa2, 0x67}};
const IID IID_IXMLElementCollection = {
    0x8438033f, 0xb59a, 0x490a, {0xae, 0x61, 0x71, 0x7c, 0x73, 0x46, 0x59, 0xbc}};
const IID IID_IQrnXml = {
    0xefe46e15, 0xe966, 0x478e, {0xa7, 0xe1, 0x96, 0xd3, 0x99, 0x46, 0x35, 0x64}};
const IID IID_IQrnXml2 = {
    0x3fd07c74, 0x1315, 0x483c, {0x85, 0xb0, 0x3d, 0x7f, 0x39, 0x03, 0xc1, 0x8b}};
}

namespace qrn::platform {

namespace {

constexpr char kAclListTag[] = "QRNACLS";
constexpr char kAclTag[] = "ACL";
constexpr char kAclKeyAttribute[] = "KEY";
// Status of a document that does not parse.
constexpr HRESULT kParseFailed = E_FAIL;

std::string ToUtf8(BSTR text) {
  return Utf16ToUtf8(std::u16string_view(text, text != nullptr ? SysStringLen(text) : 0));
}

// Indexes the ACL entries of each QRNACLS element at the top two levels.
void IndexAcls(XmlDocument& parsed) {
  auto index_list = [&parsed](pugi::xml_node list) {
    size_t entries = 0;
    for (pugi::xml_node acl = list.child(kAclTag); acl; acl = acl.next_sibling(kAclTag)) ++entries;
    parsed.acl_index.reserve(parsed.acl_index.size() + entries);
    for (pugi::xml_node acl = list.child(kAclTag); acl; acl = acl.next_sibling(kAclTag)) {
      pugi::xml_attribute key = acl.attribute(kAclKeyAttribute);
      if (key) parsed.acl_index.emplace(std::string_view(key.value()), acl);
    }
  };
  for (pugi::xml_node top = parsed.document.first_child(); top; top = top.next_sibling()) {
    if (top.type() != pugi::node_element) continue;
    if (std::string_view(top.name()) == kAclListTag) index_list(top);
    for (pugi::xml_node list = top.child(kAclListTag); list; list = list.next_sibling(kAclListTag))
      index_list(list);
  }
}

class XmlComponent final : public IQrnXml, public IQrnXml2 {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IQrnXml) {
      *object = static_cast<IQrnXml*>(this);
    } else if (riid == IID_IQrnXml2) {
      *object = static_cast<IQrnXml2*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT put_XmlString(BSTR xml) override {
    // A failed parse leaves no document, not the one before it.
    document_.reset();
    try {
      return Parse(ToUtf8(xml));
    } catch (...) {
      return StatusFromException();
    }
  }

  // Parses valid UTF-8 text in place; the text becomes the document's.
  HRESULT Parse(std::string text) {
    document_.reset();
    try {
      auto parsed = std::make_shared<XmlDocument>();
      parsed->text = std::move(text);
      // The parser takes more than one well-formed document (see
      // IsOneWellFormedDocument); the rest it checks itself.
      if (!IsOneWellFormedDocument(parsed->text)) return kParseFailed;
      pugi::xml_parse_result result = parsed->document.load_buffer_inplace(
          parsed->text.data(), parsed->text.size(), pugi::parse_default, pugi::encoding_utf8);
      if (!result) return kParseFailed;
      IndexAcls(*parsed);
      document_ = std::move(parsed);
      return S_OK;
    } catch (...) {
      return StatusFromException();
    }
  }

  const XmlDocument* document() const { return document_.get(); }

  HRESULT LookupValue(BSTR key, BSTR* value) override {
    if (value == nullptr) return E_POINTER;
    *value = nullptr;
    if (!document_) return S_FALSE;
    try {
      auto found = document_->acl_index.find(ToUtf8(key));
      if (found == document_->acl_index.end()) return S_FALSE;
      *value = NewBstr(ElementText(found->second));
      return *value != nullptr ? S_OK : E_OUTOFMEMORY;
    } catch (...) {
      return StatusFromException();
    }
  }

  HRESULT GetElementText(IDispatch* element, BSTR* text) override {
    if (text == nullptr) return E_POINTER;
    *text = nullptr;
    if (element == nullptr) return E_INVALIDARG;
    IXMLElement* xml_element = nullptr;
    HRESULT hr = element->QueryInterface(IID_IXMLElement, reinterpret_cast<void**>(&xml_element));
    if (FAILED(hr)) return hr;
    hr = xml_element->get_text(text);
    xml_element->Release();
    return hr;
  }

  HRESULT FindElement(IDispatch* /*start*/, BSTR tag, IDispatch** element) override {
    if (element == nullptr) return E_POINTER;
    *element = nullptr;
    if (!document_) return S_FALSE;
    try {
      std::string wanted = ToUtf8(tag);
      pugi::xml_node found = document_->document.find_node([&wanted](pugi::xml_node node) {
        return node.type() == pugi::node_element && wanted == node.name();
      });
      if (!found) return S_FALSE;
      *element = NewXmlElement(document_, found);
      return S_OK;
    } catch (...) {
      return StatusFromException();
    }
  }

 private:
  ~XmlComponent() = default;

  std::atomic<ULONG> references_{1};
  XmlDocumentPtr document_;
};

template <typename Interface>
XmlComponent* OwnComponent(Interface* xml) {
  return xml == nullptr ? nullptr : dynamic_cast<XmlComponent*>(xml);
}

// The first element named tag in document order, as FindElement finds it.
pugi::xml_node FindFirstElement(const pugi::xml_document& document, const char* tag) {
  return document.find_node([tag](pugi::xml_node node) {
    return node.type() == pugi::node_element && std::strcmp(node.name(), tag) == 0;
  });
}

template <typename Interface>
HRESULT PutUtf8(Interface* xml, std::string text) {
  if (xml == nullptr) return E_POINTER;
  try {
    // Read up to the first NUL, as a BSTR's text would be by the parse.
    if (const void* nul = std::memchr(text.data(), '\0', text.size()); nul != nullptr)
      text.resize(static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
    // The BSTR route turns invalid bytes into U+FFFD on its way to UTF-16.
    if (!IsValidUtf8(text)) text = Utf16ToUtf8(Utf8ToUtf16(text));
    if (XmlComponent* own = OwnComponent(xml)) return own->Parse(std::move(text));
    const std::u16string wide = Utf8ToUtf16(text);
    std::string().swap(text);
    BSTR document = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
    if (document == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = xml->put_XmlString(document);
    SysFreeString(document);
    return hr;
  } catch (...) {
    return StatusFromException();
  }
}

HRESULT CreateXmlComponent(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  XmlComponent* component = new (std::nothrow) XmlComponent();
  if (component == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = static_cast<IQrnXml*>(component)->QueryInterface(riid, object);
  static_cast<IQrnXml*>(component)->Release();
  return hr;
}

// Registers the component when the library is loaded.
struct Registrar {
  Registrar() { QrnRegisterClass(CLSID_QrnXml, &CreateXmlComponent); }
} registrar;

}  // namespace

HRESULT PutXmlUtf8(IQrnXml2* xml, std::string text) { return PutUtf8(xml, std::move(text)); }
HRESULT PutXmlUtf8(IQrnXml* xml, std::string text) { return PutUtf8(xml, std::move(text)); }

bool ForEachChildRow(IQrnXml2* xml, const char* tag, bool skip_last, const XmlRowCallback& row) {
  const XmlComponent* own = OwnComponent(xml);
  if (own == nullptr) return false;
  const XmlDocument* parsed = own->document();
  if (parsed == nullptr) return true;
  const pugi::xml_node top = FindFirstElement(parsed->document, tag);
  if (!top) return true;
  std::vector<std::string_view> texts;
  std::deque<std::string> built;  // texts that are not one text node (kept in place)
  for (pugi::xml_node child = top.first_child(); child;) {
    pugi::xml_node next = child.next_sibling();
    while (next && next.type() != pugi::node_element) next = next.next_sibling();
    if (child.type() != pugi::node_element) {
      child = next;
      continue;
    }
    if (skip_last && !next) break;
    texts.clear();
    built.clear();
    for (pugi::xml_node field = child.first_child(); field; field = field.next_sibling())
      if (field.type() == pugi::node_element) texts.push_back(ElementTextView(field, &built));
    row(texts.data(), texts.size());
    child = next;
  }
  return true;
}

}  // namespace qrn::platform
