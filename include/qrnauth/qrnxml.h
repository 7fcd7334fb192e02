// The framework's XML component: one class with two interfaces.
//
//   IQrnXml   holds the ACL document and finds an object's ACL value by key.
//   IQrnXml2  holds the application and role documents and finds elements.
//
// Elements come back as IDispatch objects that callers QueryInterface for
// IXMLElement. Every pointer handed out carries one reference that the caller
// releases. Create the component with
//   CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2, &p)
// which fails with REGDB_E_CLASSNOTREG when the class is not registered.
#pragma once

#include "qrnauth/com.h"
#include "qrnauth/export.h"
#include "qrnauth/oleauto.h"

// Late-bound object; here only a base for elements and collections.
struct IDispatch : IUnknown {
 protected:
  ~IDispatch() = default;
};

struct IXMLElementCollection;

struct IXMLElement : IDispatch {
  virtual HRESULT get_tagName(BSTR* name) = 0;
  // The element's text content (all text below it, in document order).
  virtual HRESULT get_text(BSTR* text) = 0;
  // The element's child elements, in document order.
  virtual HRESULT get_children(IXMLElementCollection** children) = 0;
  // The attribute's value as VT_BSTR, or VT_NULL and S_FALSE when absent.
  virtual HRESULT getAttribute(BSTR name, VARIANT* value) = 0;

 protected:
  ~IXMLElement() = default;
};

struct IXMLElementCollection : IDispatch {
  virtual HRESULT get_length(LONG* length) = 0;
  // index: VT_I4 (position from 0) or VT_BSTR (the first child with that tag
  // name); unused: VT_EMPTY. S_FALSE and a null item when nothing matches.
  virtual HRESULT item(VARIANT index, VARIANT unused, IDispatch** item) = 0;

 protected:
  ~IXMLElementCollection() = default;
};

struct IQrnXml : IUnknown {
  // Parses the whole document; success means the object now holds it (a
  // failed parse leaves no document).
  virtual HRESULT put_XmlString(BSTR xml) = 0;
  // The value stored under key; S_FALSE and a null value when there is none.
  virtual HRESULT LookupValue(BSTR key, BSTR* value) = 0;

 protected:
  ~IQrnXml() = default;
};

struct IQrnXml2 : IUnknown {
  virtual HRESULT put_XmlString(BSTR xml) = 0;
  virtual HRESULT GetElementText(IDispatch* element, BSTR* text) = 0;
  // The first element of the document (depth first) with that tag name;
  // start is ignored (callers pass null). S_FALSE and null when none.
  virtual HRESULT FindElement(IDispatch* start, BSTR tag, IDispatch** element) = 0;

 protected:
  ~IQrnXml2() = default;
};

extern "C" {
QRNAUTH_API extern const CLSID CLSID_QrnXml;
QRNAUTH_API extern const IID IID_IDispatch;
QRNAUTH_API extern const IID IID_IXMLElement;
QRNAUTH_API extern const IID IID_IXMLElementCollection;
QRNAUTH_API extern const IID IID_IQrnXml;
QRNAUTH_API extern const IID IID_IQrnXml2;
}
