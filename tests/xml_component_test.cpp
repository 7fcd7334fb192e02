// The XML component: parsing, element walks and the ACL key lookup.
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"
#include "platform/xml_component.h"
#include "qrnauth/qrnxml.h"

namespace {

using qrn::platform::Utf16ToUtf8;
using qrn::platform::Utf8ToUtf16;

// An owned BSTR made from UTF-8.
class Bstr {
 public:
  explicit Bstr(const std::string& text) {
    std::u16string wide = Utf8ToUtf16(text);
    value_ = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
  }
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

// Takes ownership of a returned BSTR and gives its UTF-8 text.
std::string Take(BSTR text) {
  std::string utf8 = Utf16ToUtf8(std::u16string_view(text, text ? SysStringLen(text) : 0));
  SysFreeString(text);
  return utf8;
}

template <typename T>
T* Query(IUnknown* object, const IID& iid) {
  void* result = nullptr;
  if (FAILED(object->QueryInterface(iid, &result))) return nullptr;
  return static_cast<T*>(result);
}

IQrnXml2* NewXml2() {
  IQrnXml2* xml = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                             reinterpret_cast<void**>(&xml)),
            S_OK);
  return xml;
}

HRESULT Put(IQrnXml2* xml, const std::string& text) {
  Bstr document(text);
  return xml->put_XmlString(document.get());
}

IXMLElement* Find(IQrnXml2* xml, const std::string& tag) {
  Bstr name(tag);
  IDispatch* found = nullptr;
  if (xml->FindElement(nullptr, name.get(), &found) != S_OK) return nullptr;
  IXMLElement* element = Query<IXMLElement>(found, IID_IXMLElement);
  found->Release();
  return element;
}

std::string Text(IXMLElement* element) {
  BSTR text = nullptr;
  EXPECT_EQ(element->get_text(&text), S_OK);
  return Take(text);
}

std::string Tag(IXMLElement* element) {
  BSTR name = nullptr;
  EXPECT_EQ(element->get_tagName(&name), S_OK);
  return Take(name);
}

// Child by position (VT_I4) or tag (VT_BSTR); null when there is none.
IXMLElement* Child(IXMLElement* parent, VARIANT index) {
  IXMLElementCollection* children = nullptr;
  EXPECT_EQ(parent->get_children(&children), S_OK);
  VARIANT empty;
  VariantInit(&empty);
  IDispatch* item = nullptr;
  HRESULT hr = children->item(index, empty, &item);
  children->Release();
  if (hr != S_OK) {
    EXPECT_EQ(item, nullptr);
    return nullptr;
  }
  IXMLElement* element = Query<IXMLElement>(item, IID_IXMLElement);
  item->Release();
  return element;
}

IXMLElement* ChildAt(IXMLElement* parent, LONG position) {
  VARIANT index;
  VariantInit(&index);
  index.vt = VT_I4;
  index.lVal = position;
  return Child(parent, index);
}

IXMLElement* ChildNamed(IXMLElement* parent, const std::string& tag) {
  Bstr name(tag);
  VARIANT index;
  VariantInit(&index);
  index.vt = VT_BSTR;
  index.bstrVal = name.get();
  return Child(parent, index);
}

const char kApplications[] =
    "<?xml version=\"1.0\"?><DOCUMENT><QRNAPPLS>"
    "<APPL><APPLNAME>Billing</APPLNAME><APPLID>{1}</APPLID><GROUPCOUNT>1</GROUPCOUNT>"
    "<SECGROUP1 KIND=\"main\"><GROUPNAME>Invoices</GROUPNAME></SECGROUP1></APPL>"
    "<APPL><APPLNAME>M\xC3\xBCller &amp; Co</APPLNAME></APPL>"
    "<APPLCOUNT>2</APPLCOUNT></QRNAPPLS></DOCUMENT>";

TEST(XmlComponent, OneObjectTwoInterfaces) {
  IQrnXml2* xml2 = NewXml2();
  ASSERT_NE(xml2, nullptr);
  IQrnXml* xml = Query<IQrnXml>(xml2, IID_IQrnXml);
  ASSERT_NE(xml, nullptr);
  IQrnXml2* again = Query<IQrnXml2>(xml, IID_IQrnXml2);
  EXPECT_EQ(again, xml2);
  IUnknown* unknown1 = Query<IUnknown>(xml, IID_IUnknown);
  IUnknown* unknown2 = Query<IUnknown>(xml2, IID_IUnknown);
  EXPECT_EQ(unknown1, unknown2);
  EXPECT_EQ(Query<IXMLElement>(xml2, IID_IXMLElement), nullptr);

  // The document is shared by both interfaces.
  ASSERT_EQ(Put(xml2, "<DOCUMENT><QRNACLS><ACL KEY=\"k\">v</ACL></QRNACLS></DOCUMENT>"), S_OK);
  Bstr key("k");
  BSTR value = nullptr;
  EXPECT_EQ(xml->LookupValue(key.get(), &value), S_OK);
  EXPECT_EQ(Take(value), "v");

  for (IUnknown* p : {static_cast<IUnknown*>(xml), static_cast<IUnknown*>(again), unknown1,
                      unknown2, static_cast<IUnknown*>(xml2)})
    p->Release();
}

TEST(XmlComponent, ParseFailureKeepsNoDocument) {
  IQrnXml2* xml = NewXml2();
  ASSERT_EQ(Put(xml, kApplications), S_OK);
  IXMLElement* found = Find(xml, "QRNAPPLS");
  ASSERT_NE(found, nullptr);
  found->Release();

  for (const char* bad : {"<DOCUMENT><QRNAPPLS></DOCUMENT>", "", "plain text", "<a></b>"}) {
    EXPECT_LT(Put(xml, bad), 0) << bad;
    EXPECT_EQ(Find(xml, "QRNAPPLS"), nullptr) << "a failed parse left a document: " << bad;
  }
  Bstr tag("DOCUMENT");
  IDispatch* none = reinterpret_cast<IDispatch*>(1);
  EXPECT_EQ(xml->FindElement(nullptr, tag.get(), &none), S_FALSE);
  EXPECT_EQ(none, nullptr);
  xml->Release();
}

// Exactly one root element with only blanks, comments, processing
// instructions (and a document type declaration before the root) around it;
// references only to the predefined entities and to allowed characters; no
// attribute twice in a tag. Anything else is refused as a failed parse.
TEST(XmlComponent, OnlyOneWellFormedDocumentParses) {
  IQrnXml2* xml = NewXml2();
  const char* const accepted[] = {
      "<R/>",
      " \r\n\t<R/>\n ",
      "<?xml version=\"1.0\"?>\n<!-- head --><R a='1' b=\"2\"/><!-- tail --><?pi x?>\n",
      "\xEF\xBB\xBF<R/>",
      "<!DOCTYPE R [<!ENTITY e \"]>\"><!-- ] > -->]><R/>",
      "<R t='&lt;&gt;&amp;&quot;&apos;&#65;&#x10FFFF;'>&lt;x&gt; &#9; <![CDATA[&undefined;]]></R>",
      "<R><!-- <X> & --><?pi <Y> &?></R>",
      "<R a='x>y'>text > more</R>",
      "<R x='1' X='2' y:x='3'/>",  // names compare with case and with prefix
  };
  for (const char* text : accepted) EXPECT_EQ(Put(xml, text), S_OK) << text;
  // Up to a NUL, as the parser reads it: what follows does not count.
  EXPECT_EQ(Put(xml, std::string("<R/>\0<X/>junk", 13)), S_OK);

  const char* const refused[] = {
      "<R/><S/>",                            // two roots
      "<R/>\n<R/>",                          // the same document twice
      "junk<R/>",                            // text before the root
      "<R/>junk",                            // text after it
      "<R/>\x01",                            // a control character after it
      "&amp;<R/>",                           // even a known reference outside the root
      "<R>&nbsp;</R>",                       // an undefined entity in text
      "<R a='&foo;'/>",                      // ... in an attribute value
      "<!DOCTYPE R [<!ENTITY e 'x'>]><R>&e;</R>",  // declared entities are not expanded
      "<R>&#0;</R>",                         // a character XML does not allow
      "<R>&#x110000;</R>",                   // beyond Unicode
      "<R>&#xD800;</R>",                     // a surrogate
      "<R>&#99999999999999999999;</R>",      // too large to hold
      "<R>& </R>",                           // a bare ampersand
      "<R>&amp</R>",                         // an unterminated reference
      "<R a='1' a='2'/>",                    // a duplicate attribute
      "<R><S b=\"1\" c='2' b='3'></S></R>",  // ... deeper down
      "<![CDATA[x]]><R/>",                   // character data outside the root
      "<R/><!DOCTYPE R>",                    // the declaration after the root
      "<!-- unterminated <R/>",
      "<R",
  };
  for (const char* text : refused) {
    EXPECT_EQ(Put(xml, text), E_FAIL) << text;
    EXPECT_EQ(Find(xml, "R"), nullptr) << text;
  }
  // A tag of many attributes, one given twice far apart.
  std::string many = "<R";
  for (int i = 0; i < 100; ++i) many += " a" + std::to_string(i) + "='v'";
  EXPECT_EQ(Put(xml, many + "/>"), S_OK);
  EXPECT_EQ(Put(xml, many + " a3='w'/>"), E_FAIL);
  xml->Release();
}

TEST(XmlComponent, FindElementIsDepthFirstAndExact) {
  IQrnXml2* xml = NewXml2();
  ASSERT_EQ(Put(xml, "<R><A><B>inner</B></A><B>outer</B><b>lower</b></R>"), S_OK);
  IXMLElement* b = Find(xml, "B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Text(b), "inner");
  b->Release();
  IXMLElement* lower = Find(xml, "b");
  ASSERT_NE(lower, nullptr);
  EXPECT_EQ(Text(lower), "lower");
  lower->Release();
  EXPECT_EQ(Find(xml, "C"), nullptr);
  IXMLElement* root = Find(xml, "R");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Tag(root), "R");
  root->Release();
  xml->Release();
}

TEST(XmlComponent, ChildrenByPositionAndTagAndTheirText) {
  IQrnXml2* xml = NewXml2();
  ASSERT_EQ(Put(xml, kApplications), S_OK);
  IXMLElement* apps = Find(xml, "QRNAPPLS");
  ASSERT_NE(apps, nullptr);

  IXMLElementCollection* children = nullptr;
  ASSERT_EQ(apps->get_children(&children), S_OK);
  LONG length = 0;
  EXPECT_EQ(children->get_length(&length), S_OK);
  EXPECT_EQ(length, 3);
  children->Release();

  IXMLElement* first = ChildAt(apps, 0);
  ASSERT_NE(first, nullptr);
  IXMLElement* name = ChildNamed(first, "APPLNAME");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(Text(name), "Billing");
  IXMLElement* group = ChildAt(first, 3);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(Tag(group), "SECGROUP1");
  // Text content is all the text below the element.
  EXPECT_EQ(Text(first), "Billing{1}1Invoices");

  Bstr kind("KIND"), missing("KINDS");
  VARIANT attribute;
  EXPECT_EQ(group->getAttribute(kind.get(), &attribute), S_OK);
  ASSERT_EQ(attribute.vt, VT_BSTR);
  EXPECT_EQ(Take(attribute.bstrVal), "main");
  EXPECT_EQ(group->getAttribute(missing.get(), &attribute), S_FALSE);
  EXPECT_EQ(attribute.vt, VT_NULL);

  IXMLElement* second = ChildAt(apps, 1);
  ASSERT_NE(second, nullptr);
  BSTR text = nullptr;
  EXPECT_EQ(xml->GetElementText(second, &text), S_OK);
  EXPECT_EQ(Take(text), "M\xC3\xBCller & Co");

  EXPECT_EQ(ChildAt(apps, 3), nullptr);
  EXPECT_EQ(ChildAt(apps, -1), nullptr);
  EXPECT_EQ(ChildNamed(apps, "appl"), nullptr);  // tag names are exact
  IXMLElement* count = ChildNamed(apps, "APPLCOUNT");
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(Text(count), "2");

  for (IXMLElement* e : {apps, first, name, group, second, count}) e->Release();
  xml->Release();
}

TEST(XmlComponent, MixedContentAndCdataText) {
  IQrnXml2* xml = NewXml2();
  ASSERT_EQ(Put(xml, "<R>a<X>b<Y>c</Y></X><![CDATA[<d>]]>e</R>"), S_OK);
  IXMLElement* root = Find(xml, "R");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Text(root), "abc<d>e");
  IXMLElement* x = Find(xml, "X");
  EXPECT_EQ(Text(x), "bc");
  IXMLElement* empty = nullptr;
  ASSERT_EQ(Put(xml, "<R><E/></R>"), S_OK);
  empty = Find(xml, "E");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(Text(empty), "");
  // Elements of the earlier document still read it.
  EXPECT_EQ(Text(x), "bc");
  for (IXMLElement* e : {root, x, empty}) e->Release();
  xml->Release();
}

TEST(XmlComponent, ElementOutlivesTheDocumentObject) {
  IQrnXml2* xml = NewXml2();
  ASSERT_EQ(Put(xml, kApplications), S_OK);
  IXMLElement* apps = Find(xml, "QRNAPPLS");
  ASSERT_NE(apps, nullptr);
  IXMLElementCollection* children = nullptr;
  ASSERT_EQ(apps->get_children(&children), S_OK);
  EXPECT_EQ(xml->Release(), 0u);

  IXMLElement* first = ChildAt(apps, 0);
  ASSERT_NE(first, nullptr);
  IXMLElement* name = ChildNamed(first, "APPLNAME");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(Text(name), "Billing");
  apps->Release();
  first->Release();
  VARIANT index, empty;
  VariantInit(&index);
  VariantInit(&empty);
  index.vt = VT_I4;
  index.lVal = 2;
  IDispatch* last = nullptr;
  ASSERT_EQ(children->item(index, empty, &last), S_OK);
  children->Release();
  IXMLElement* count = Query<IXMLElement>(last, IID_IXMLElement);
  last->Release();
  EXPECT_EQ(Text(count), "2");
  count->Release();
  EXPECT_EQ(Text(name), "Billing");
  name->Release();
}

std::string Lookup(IQrnXml* xml, const std::string& key, HRESULT* hr = nullptr) {
  Bstr k(key);
  BSTR value = reinterpret_cast<BSTR>(1);
  HRESULT status = xml->LookupValue(k.get(), &value);
  if (hr) *hr = status;
  if (status != S_OK) {
    EXPECT_EQ(value, nullptr);
    return "<none>";
  }
  return Take(value);
}

TEST(XmlComponent, LookupValueFindsTheFirstEntryOfExactlyThatKey) {
  IQrnXml* xml = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml,
                             reinterpret_cast<void**>(&xml)),
            S_OK);
  HRESULT hr = S_OK;
  EXPECT_EQ(Lookup(xml, "a", &hr), "<none>");  // no document yet
  EXPECT_EQ(hr, S_FALSE);

  Bstr document(
      "<DOCUMENT><QRNACLS>"
      "<ACL KEY=\"Orders\">first</ACL><ACL KEY=\"orders\">lower</ACL>"
      "<ACL KEY=\"Orders\">second</ACL><ACL KEY=\"\">empty key</ACL>"
      "<ACL KEY=\"M\xC3\xBCller\">wide</ACL><ACL>no key</ACL>"
      "<ACLCOUNT>6</ACLCOUNT></QRNACLS></DOCUMENT>");
  ASSERT_EQ(xml->put_XmlString(document.get()), S_OK);
  EXPECT_EQ(Lookup(xml, "Orders"), "first");
  EXPECT_EQ(Lookup(xml, "orders"), "lower");
  EXPECT_EQ(Lookup(xml, "ORDERS", &hr), "<none>");
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_EQ(Lookup(xml, "M\xC3\xBCller"), "wide");
  EXPECT_EQ(Lookup(xml, "M\xC3\x9CLLER"), "<none>");
  EXPECT_EQ(Lookup(xml, ""), "empty key");
  EXPECT_EQ(Lookup(xml, "ACLCOUNT"), "<none>");

  // A failed parse drops the index with the document.
  Bstr bad("<DOCUMENT>");
  EXPECT_LT(xml->put_XmlString(bad.get()), 0);
  EXPECT_EQ(Lookup(xml, "Orders"), "<none>");
  xml->Release();
}

TEST(XmlComponent, LookupInALargeAclDocument) {
  std::string text = "<DOCUMENT><QRNACLS>";
  for (int i = 0; i < 10000; ++i)
    text += "<ACL KEY=\"object-" + std::to_string(i) + "\">v" + std::to_string(i) + "</ACL>";
  text += "<ACLCOUNT>10000</ACLCOUNT></QRNACLS></DOCUMENT>";
  IQrnXml2* xml2 = NewXml2();
  ASSERT_EQ(Put(xml2, text), S_OK);
  IQrnXml* xml = Query<IQrnXml>(xml2, IID_IQrnXml);
  for (int i = 0; i < 10000; i += 997)
    EXPECT_EQ(Lookup(xml, "object-" + std::to_string(i)), "v" + std::to_string(i));
  EXPECT_EQ(Lookup(xml, "object-10000"), "<none>");
  xml->Release();
  xml2->Release();
}

// The element tree below tag as the COM interfaces show it: tags, texts and
// children, depth first.
std::string Tree(IXMLElement* element) {
  std::string text = "<" + Tag(element) + ":" + Text(element);
  for (LONG i = 0;; ++i) {
    IXMLElement* child = ChildAt(element, i);
    if (child == nullptr) break;
    text += Tree(child);
    child->Release();
  }
  return text + ">";
}

std::string TreeOf(IQrnXml2* xml) {
  IXMLElement* top = Find(xml, "DOCUMENT");
  if (top == nullptr) return "<none>";
  std::string text = Tree(top);
  top->Release();
  return text;
}

TEST(XmlComponent, Utf8RoadGivesWhatTheBstrRoadGives) {
  const std::string texts[] = {
      kApplications,
      // Bytes that are not UTF-8 in text, attribute and CDATA.
      "<DOCUMENT><QRNACLS><ACL KEY=\"k\xFF\">v\xC3(</ACL><ACL KEY=\"e\xED\xA0\x80\">"
      "<![CDATA[\xF5\x80]]></ACL></QRNACLS></DOCUMENT>",
      // The text ends at its first NUL.
      std::string("<DOCUMENT><A>x</A></DOCUMENT>") + '\0' + "<B/>",
      std::string("<DOCUMENT><A>x") + '\0' + "</A></DOCUMENT>",
      "<DOCUMENT/><DOCUMENT/>",
      "\xEF\xBB\xBF<DOCUMENT><A>\xE2\x82\xAC &#x20AC; &amp;</A></DOCUMENT>",
  };
  for (const std::string& text : texts) {
    IQrnXml2* bstr_road = NewXml2();
    IQrnXml2* utf8_road = NewXml2();
    const HRESULT expected = Put(bstr_road, text);
    EXPECT_EQ(qrn::platform::PutXmlUtf8(utf8_road, text), expected) << text;
    EXPECT_EQ(TreeOf(utf8_road), TreeOf(bstr_road)) << text;
    IQrnXml* acls_bstr = Query<IQrnXml>(bstr_road, IID_IQrnXml);
    IQrnXml* acls_utf8 = Query<IQrnXml>(utf8_road, IID_IQrnXml);
    for (const std::string key : {"k\xEF\xBF\xBD", "e\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}) {
      Bstr name(key);
      BSTR a = nullptr, b = nullptr;
      EXPECT_EQ(acls_utf8->LookupValue(name.get(), &a), acls_bstr->LookupValue(name.get(), &b));
      EXPECT_EQ(Take(a), Take(b)) << text;
    }
    acls_bstr->Release();
    acls_utf8->Release();
    bstr_road->Release();
    utf8_road->Release();
  }
}

TEST(XmlComponent, UnregisteredClassCannotBeCreated) {
  ASSERT_EQ(QrnRegisterClass(CLSID_QrnXml, nullptr), S_OK);
  IQrnXml2* xml = reinterpret_cast<IQrnXml2*>(1);
  EXPECT_EQ(CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                             reinterpret_cast<void**>(&xml)),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(xml, nullptr);
}

}  // namespace
