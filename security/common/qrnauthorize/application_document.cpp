#include "security/common/qrnauthorize/application_document.h"

#include <algorithm>
#include <cstdio>

#include "platform/text.h"
#include "security/common/server_requests.h"

namespace qrn {

namespace {

constexpr char kApplicationsTag[] = "QRNAPPLS";
constexpr char kApplicationNameTag[] = "APPLNAME";
constexpr char kApplicationIdTag[] = "APPLID";
constexpr char kGroupCountTag[] = "GROUPCOUNT";
constexpr char kGroupTagFormat[] = "SECGROUP%d";
constexpr char kGroupNameTag[] = "GROUPNAME";
constexpr char kGroupIdTag[] = "GROUPID";
constexpr char kObjectCountTag[] = "SECOBJECTCOUNT";
constexpr char kObjectNameTag[] = "SECOBJNAME";
constexpr char kObjectIdTag[] = "SECOBJID";
constexpr char kIdPrefix[] = "QRN";
constexpr size_t kIdBodyLength = 36;

constexpr LONG kFirstGroupChild = 5;
constexpr LONG kFirstObjectChild = 4;
constexpr LONG kIdChild = 0;
constexpr LONG kNameChild = 1;

using CollectionRef = ComRef<IXMLElementCollection>;

HRESULT AsElement(IDispatch* dispatch, ElementRef* element) {
  ComRef<IDispatch> owner(dispatch);
  element->reset();
  if (dispatch == nullptr) return S_OK;
  IXMLElement* raw = nullptr;
  const HRESULT hr = dispatch->QueryInterface(IID_IXMLElement, reinterpret_cast<void**>(&raw));
  element->reset(raw);
  return hr;
}

HRESULT Children(IXMLElement* element, CollectionRef* children, LONG* length) {
  IXMLElementCollection* raw = nullptr;
  HRESULT hr = element->get_children(&raw);
  children->reset(raw);
  *length = 0;
  if (FAILED(hr) || raw == nullptr) return FAILED(hr) ? hr : E_FAIL;
  return raw->get_length(length);
}

HRESULT ChildAt(IXMLElementCollection* children, LONG index, ElementRef* child) {
  VARIANT at;
  VariantInit(&at);
  at.vt = VT_I4;
  at.lVal = index;
  VARIANT unused;
  VariantInit(&unused);
  IDispatch* item = nullptr;
  const HRESULT hr = children->item(at, unused, &item);
  if (FAILED(hr)) {
    ComRef<IDispatch> owner(item);
    child->reset();
    return hr;
  }
  return AsElement(item, child);
}

HRESULT ChildAt(IXMLElement* element, LONG index, ElementRef* child) {
  CollectionRef children;
  LONG length = 0;
  const HRESULT hr = Children(element, &children, &length);
  child->reset();
  if (FAILED(hr)) return hr;
  return ChildAt(children.get(), index, child);
}

HRESULT ChildByTag(IXMLElement* element, const char* tag, ElementRef* child) {
  CollectionRef children;
  LONG length = 0;
  HRESULT hr = Children(element, &children, &length);
  child->reset();
  if (FAILED(hr)) return hr;
  VARIANT name;
  VariantInit(&name);
  BstrRef tag_text = MakeBstrRef(tag);
  name.vt = VT_BSTR;
  name.bstrVal = tag_text.get();
  VARIANT unused;
  VariantInit(&unused);
  IDispatch* item = nullptr;
  hr = children->item(name, unused, &item);
  if (FAILED(hr)) {
    ComRef<IDispatch> owner(item);
    return hr;
  }
  return AsElement(item, child);
}

HRESULT ElementText(IQrnXml2* xml, IXMLElement* element, std::string* text) {
  BSTR raw = nullptr;
  const HRESULT hr = xml->GetElementText(element, &raw);
  BstrRef owner(raw);
  *text = BstrText(raw);
  return hr;
}

// The text of the child with that tag; E_FAIL when there is no such child.
HRESULT ChildText(IQrnXml2* xml, IXMLElement* element, const char* tag, std::string* text) {
  ElementRef child;
  text->clear();
  const HRESULT hr = ChildByTag(element, tag, &child);
  if (FAILED(hr)) return hr;
  if (!child) return E_FAIL;
  return ElementText(xml, child.get(), text);
}

HRESULT ChildTextAt(IQrnXml2* xml, IXMLElement* element, LONG index, std::string* text) {
  ElementRef child;
  text->clear();
  const HRESULT hr = ChildAt(element, index, &child);
  if (FAILED(hr)) return hr;
  if (!child) return E_FAIL;
  return ElementText(xml, child.get(), text);
}

// The count child read like atoi, cut to [0, limit].
HRESULT Count(IQrnXml2* xml, IXMLElement* element, const char* tag, LONG limit, LONG* count) {
  std::string text;
  const HRESULT hr = ChildText(xml, element, tag, &text);
  *count = 0;
  if (FAILED(hr)) return hr;
  *count = std::clamp<LONG>(ParseDecimal(text), 0, std::max<LONG>(limit, 0));
  return hr;
}

HRESULT ChildCount(IXMLElement* element, LONG* length) {
  CollectionRef children;
  return Children(element, &children, length);
}

HRESULT PutEntry(VARIANT* list, LONG index, const std::string& text) {
  BstrRef value = MakeBstrRef(text);
  return SafeArrayPutElement(list->parray, &index, value.get());
}

// Two lists from the children first, first + 1, ... of element.
HRESULT FillLists(IQrnXml2* xml, IXMLElement* element, const char* count_tag, LONG first,
                  VARIANT* names, VARIANT* ids) {
  LONG length = 0;
  HRESULT hr = ChildCount(element, &length);
  if (FAILED(hr)) return hr;
  LONG n = 0;
  hr = Count(xml, element, count_tag, length, &n);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = MakeBstrVector(names, static_cast<ULONG>(n)))) return hr;
  if (FAILED(hr = MakeBstrVector(ids, static_cast<ULONG>(n)))) return hr;
  for (LONG i = 0; i < n; ++i) {
    ElementRef child;
    hr = ChildAt(element, first + i, &child);
    if (FAILED(hr) || !child) continue;  // the entries stay null
    std::string text;
    if (SUCCEEDED(hr = ChildTextAt(xml, child.get(), kNameChild, &text)))
      hr = PutEntry(names, i, text);
    if (SUCCEEDED(hr = ChildTextAt(xml, child.get(), kIdChild, &text)))
      hr = PutEntry(ids, i, SecurityIdText(text));
  }
  return S_OK;
}

}  // namespace

std::string SecurityIdText(std::string_view document_id) {
  std::string id(kIdPrefix);
  if (!document_id.empty()) id += document_id.substr(1, kIdBodyLength);
  // The text ends at a NUL, as the identifier buffer is read as text.
  return id.substr(0, id.find('\0'));
}

HRESULT MakeBstrVector(VARIANT* value, ULONG n) {
  VariantClear(value);
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, n);
  if (array == nullptr) return E_OUTOFMEMORY;
  value->vt = VT_ARRAY | VT_BSTR;
  value->parray = array;
  return S_OK;
}

HRESULT GetApplication(IQrnXml2* xml, std::string_view name, ElementRef* application) {
  application->reset();
  IDispatch* found = nullptr;
  HRESULT hr = xml->FindElement(nullptr, MakeBstrRef(kApplicationsTag).get(), &found);
  ElementRef top;
  if (FAILED(hr)) {
    ComRef<IDispatch> owner(found);
    return hr;
  }
  if (FAILED(hr = AsElement(found, &top)) || !top) return hr;
  CollectionRef children;
  LONG length = 0;
  if (FAILED(hr = Children(top.get(), &children, &length))) return hr;
  for (LONG i = 0; i + 1 < length; ++i) {
    ElementRef child;
    hr = ChildAt(children.get(), i, &child);
    if (FAILED(hr) || !child) continue;
    std::string text;
    hr = ChildText(xml, child.get(), kApplicationNameTag, &text);
    if (FAILED(hr)) continue;
    if (platform::EqualsNoCase(text, name)) {
      *application = std::move(child);
      return hr;
    }
  }
  return SUCCEEDED(hr) ? hr : S_OK;
}

HRESULT GetGroup(IQrnXml2* xml, IXMLElement* application, std::string_view name,
                 ElementRef* group) {
  group->reset();
  if (name.empty()) return S_OK;
  LONG length = 0;
  HRESULT hr = ChildCount(application, &length);
  if (FAILED(hr)) return hr;
  LONG n = 0;
  if (FAILED(hr = Count(xml, application, kGroupCountTag, length, &n))) return hr;
  for (LONG i = 1; i <= n; ++i) {
    char tag[32];
    std::snprintf(tag, sizeof tag, kGroupTagFormat, static_cast<int>(i));
    ElementRef child;
    std::string text;
    // A group whose name cannot be read is skipped, like the lists do.
    if (FAILED(ChildByTag(application, tag, &child)) || !child ||
        FAILED(ChildText(xml, child.get(), kGroupNameTag, &text)))
      continue;
    if (platform::EqualsNoCase(text, name)) {
      *group = std::move(child);
      return S_OK;
    }
  }
  return S_OK;
}

HRESULT GetSecObj(IQrnXml2* xml, IXMLElement* group, std::string_view name, ElementRef* object) {
  object->reset();
  if (name.empty()) return S_OK;
  LONG length = 0;
  HRESULT hr = ChildCount(group, &length);
  if (FAILED(hr)) return hr;
  LONG n = 0;
  if (FAILED(hr = Count(xml, group, kObjectCountTag, length, &n))) return hr;
  for (LONG i = 0; i < n; ++i) {
    ElementRef child;
    std::string text;
    if (FAILED(ChildAt(group, kFirstObjectChild + i, &child)) || !child ||
        FAILED(ChildText(xml, child.get(), kObjectNameTag, &text)))
      continue;
    if (platform::EqualsNoCase(text, name)) {
      *object = std::move(child);
      return S_OK;
    }
  }
  return S_OK;
}

HRESULT GetApplicationId(IQrnXml2* xml, IXMLElement* application, std::string* id) {
  std::string text;
  const HRESULT hr = ChildText(xml, application, kApplicationIdTag, &text);
  *id = SUCCEEDED(hr) ? SecurityIdText(text) : std::string();
  return hr;
}

HRESULT GetGroupId(IQrnXml2* xml, IXMLElement* group, std::string* id) {
  std::string text;
  const HRESULT hr = ChildText(xml, group, kGroupIdTag, &text);
  *id = SUCCEEDED(hr) ? SecurityIdText(text) : std::string();
  return hr;
}

HRESULT GetSecObjId(IQrnXml2* xml, IXMLElement* object, std::string* id) {
  std::string text;
  const HRESULT hr = ChildText(xml, object, kObjectIdTag, &text);
  *id = SUCCEEDED(hr) ? SecurityIdText(text) : std::string();
  return hr;
}

HRESULT GetApplGroups(IQrnXml2* xml, IXMLElement* application, VARIANT* names, VARIANT* ids) {
  return FillLists(xml, application, kGroupCountTag, kFirstGroupChild, names, ids);
}

HRESULT GetSecObjs(IQrnXml2* xml, IXMLElement* group, VARIANT* names, VARIANT* ids) {
  return FillLists(xml, group, kObjectCountTag, kFirstObjectChild, names, ids);
}

HRESULT GetApplGroupMembers(IQrnXml2* xml, IXMLElement* application, std::string_view group,
                            VARIANT* names, VARIANT* ids) {
  ElementRef found;
  const HRESULT hr = GetGroup(xml, application, group, &found);
  if (FAILED(hr) || !found) return hr;
  return GetSecObjs(xml, found.get(), names, ids);
}

std::vector<std::string> ApplicationNames(IQrnXml2* xml) {
  std::vector<std::string> names;
  IDispatch* found = nullptr;
  if (FAILED(xml->FindElement(nullptr, MakeBstrRef(kApplicationsTag).get(), &found))) {
    ComRef<IDispatch> owner(found);
    return names;
  }
  ElementRef top;
  CollectionRef children;
  LONG length = 0;
  if (FAILED(AsElement(found, &top)) || !top || FAILED(Children(top.get(), &children, &length)))
    return names;
  for (LONG i = 0; i + 1 < length; ++i) {
    ElementRef child;
    std::string text;
    if (SUCCEEDED(ChildAt(children.get(), i, &child)) && child)
      (void)ChildText(xml, child.get(), kApplicationNameTag, &text);
    names.push_back(std::move(text));
  }
  return names;
}

HRESULT SplitDottedName(std::string_view full_name, std::string* first, std::string* second,
                        std::string* third) {
  first->clear();
  second->clear();
  third->clear();
  const std::string_view text = platform::TrimWhite(full_name);
  if (text.empty()) return S_OK;
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos) {
    *first = std::string(text);
    return S_OK;
  }
  *first = std::string(text.substr(0, dot));
  if (dot + 1 == text.size()) return S_OK;
  const size_t dot2 = text.find('.', dot + 1);
  if (dot2 == std::string_view::npos) {
    *second = std::string(text.substr(dot + 1));
    return S_OK;
  }
  const std::string_view middle = text.substr(dot + 1, dot2 - dot - 1);
  if (middle.empty()) return S_OK;
  *second = std::string(middle);
  const std::string_view rest = platform::TrimWhite(text.substr(dot2 + 1));
  if (rest.empty()) return S_OK;
  if (rest.find('.') != std::string_view::npos) {
    first->clear();
    second->clear();
    return E_INVALIDARG;
  }
  *third = std::string(rest);
  return S_OK;
}

}  // namespace qrn
