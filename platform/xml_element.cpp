// IXMLElement and IXMLElementCollection over a shared parsed document.
#include "platform/xml_element.h"

#include <new>

#include "platform/text.h"

namespace qrn::platform {

namespace {

bool SameTag(const char* name, std::string_view tag) { return tag == std::string_view(name); }

// The reference count and IUnknown plumbing of both object kinds.
template <typename Interface>
class RefCounted : public Interface {
 public:
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~RefCounted() = default;
  // Answers for IUnknown, IDispatch and own_iid.
  HRESULT Query(REFIID riid, const IID& own_iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == own_iid) {
      AddRef();
      *object = static_cast<Interface*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

 private:
  std::atomic<ULONG> references_{1};
};

class XmlCollection final : public RefCounted<IXMLElementCollection> {
 public:
  XmlCollection(XmlDocumentPtr document, pugi::xml_node parent) : document_(std::move(document)) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
      if (child.type() == pugi::node_element) children_.push_back(child);
  }

  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Query(riid, IID_IXMLElementCollection, object);
  }

  HRESULT get_length(LONG* length) override {
    if (length == nullptr) return E_POINTER;
    *length = static_cast<LONG>(children_.size());
    return S_OK;
  }

  HRESULT item(VARIANT index, VARIANT /*unused*/, IDispatch** item) override {
    if (item == nullptr) return E_POINTER;
    *item = nullptr;
    try {
      pugi::xml_node found;
      switch (index.vt) {
        case VT_I4:
        case VT_I2: {
          long position = index.vt == VT_I4 ? index.lVal : index.iVal;
          if (position < 0 || static_cast<size_t>(position) >= children_.size()) return S_FALSE;
          found = children_[static_cast<size_t>(position)];
          break;
        }
        case VT_BSTR: {
          std::string tag = Utf16ToUtf8(
              std::u16string_view(index.bstrVal, index.bstrVal ? SysStringLen(index.bstrVal) : 0));
          for (pugi::xml_node child : children_) {
            if (SameTag(child.name(), tag)) {
              found = child;
              break;
            }
          }
          if (!found) return S_FALSE;
          break;
        }
        default:
          return E_INVALIDARG;
      }
      *item = NewXmlElement(document_, found);
      return S_OK;
    } catch (...) {
      return StatusFromException();
    }
  }

 private:
  XmlDocumentPtr document_;
  std::vector<pugi::xml_node> children_;  // element children, for O(1) positions
};

class XmlElement final : public RefCounted<IXMLElement> {
 public:
  XmlElement(XmlDocumentPtr document, pugi::xml_node node)
      : document_(std::move(document)), node_(node) {}

  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Query(riid, IID_IXMLElement, object);
  }

  HRESULT get_tagName(BSTR* name) override {
    if (name == nullptr) return E_POINTER;
    *name = NewBstr(node_.name());
    return *name != nullptr ? S_OK : E_OUTOFMEMORY;
  }

  HRESULT get_text(BSTR* text) override {
    if (text == nullptr) return E_POINTER;
    *text = nullptr;
    try {
      *text = NewBstr(ElementText(node_));
      return *text != nullptr ? S_OK : E_OUTOFMEMORY;
    } catch (...) {
      return StatusFromException();
    }
  }

  HRESULT get_children(IXMLElementCollection** children) override {
    if (children == nullptr) return E_POINTER;
    *children = nullptr;
    try {
      *children = new XmlCollection(document_, node_);
      return S_OK;
    } catch (...) {
      return StatusFromException();
    }
  }

  HRESULT getAttribute(BSTR name, VARIANT* value) override {
    if (value == nullptr) return E_POINTER;
    VariantInit(value);
    value->vt = VT_NULL;
    try {
      std::string wanted = Utf16ToUtf8(std::u16string_view(name, name ? SysStringLen(name) : 0));
      for (pugi::xml_attribute a = node_.first_attribute(); a; a = a.next_attribute()) {
        if (SameTag(a.name(), wanted)) {
          BSTR text = NewBstr(a.value());
          if (text == nullptr) return E_OUTOFMEMORY;
          value->vt = VT_BSTR;
          value->bstrVal = text;
          return S_OK;
        }
      }
      return S_FALSE;
    } catch (...) {
      return StatusFromException();
    }
  }

 private:
  XmlDocumentPtr document_;
  pugi::xml_node node_;
};

}  // namespace

BSTR NewBstr(std::string_view text) {
  std::u16string wide = Utf8ToUtf16(text);
  return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}

namespace {

// The single text node that is all of node's text, or null.
const char* SingleTextValue(pugi::xml_node node) {
  pugi::xml_node first = node.first_child();
  if (first && !first.next_sibling() &&
      (first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata))
    return first.value();
  return nullptr;
}

}  // namespace

std::string_view ElementTextView(pugi::xml_node node, std::deque<std::string>* storage) {
  if (const char* single = SingleTextValue(node)) return single;
  if (!node.first_child()) return std::string_view();
  storage->push_back(ElementText(node));
  return storage->back();
}

std::string ElementText(pugi::xml_node node) {
  // The common case, an element with one text child, needs no walk.
  if (const char* single = SingleTextValue(node)) return single;
  pugi::xml_node first = node.first_child();
  std::string text;
  pugi::xml_node current = first;
  while (current) {
    if (current.type() == pugi::node_pcdata || current.type() == pugi::node_cdata)
      text += current.value();
    if (current.first_child()) {
      current = current.first_child();
      continue;
    }
    while (current && current != node && !current.next_sibling()) current = current.parent();
    if (!current || current == node) break;
    current = current.next_sibling();
  }
  return text;
}

HRESULT StatusFromException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

IXMLElement* NewXmlElement(XmlDocumentPtr document, pugi::xml_node node) {
  return new XmlElement(std::move(document), node);
}

}  // namespace qrn::platform
