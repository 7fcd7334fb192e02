// Internals of the XML component shared by its two source files: the parsed
// document that elements keep alive, and the element and collection objects.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qrnauth/qrnxml.h"

namespace qrn::platform {

// A parsed document. The UTF-8 text is parsed in place, so names and values
// of the nodes point into text; both live as long as the last object that
// shares the document.
struct XmlDocument {
  std::string text;
  pugi::xml_document document;
  // Key attribute of each ACL entry -> the entry; the first entry of a key wins.
  std::unordered_map<std::string_view, pugi::xml_node> acl_index;
};
using XmlDocumentPtr = std::shared_ptr<const XmlDocument>;

// UTF-8 -> a new BSTR; null when out of memory.
BSTR NewBstr(std::string_view text);
// All text below node (text and CDATA sections), in document order.
std::string ElementText(pugi::xml_node node);
// The same text without a copy when it is one text node of the document (the
// common case); otherwise built into a new string at the end of *storage.
std::string_view ElementTextView(pugi::xml_node node, std::deque<std::string>* storage);
// Maps an exception in flight to a status: E_OUTOFMEMORY or E_UNEXPECTED.
HRESULT StatusFromException();

// New element object holding one reference; the caller releases it.
IXMLElement* NewXmlElement(XmlDocumentPtr document, pugi::xml_node node);

}  // namespace qrn::platform
