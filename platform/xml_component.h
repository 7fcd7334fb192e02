// Paths into this library's own XML component that skip the BSTR round trip
// of the COM surface: the library hands it UTF-8 text it already holds and
// reads row texts straight from the parsed document. Objects of any other
// implementation of the interfaces get the COM calls instead.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "qrnauth/qrnxml.h"

namespace qrn::platform {

// Parses UTF-8 document text into xml with the result put_XmlString gives
// for the same text as a BSTR: the text counts up to its first NUL, and bytes
// that are not valid UTF-8 read as U+FFFD. The component keeps the buffer
// and parses it in place, so the caller hands it over.
HRESULT PutXmlUtf8(IQrnXml2* xml, std::string text);
HRESULT PutXmlUtf8(IQrnXml* xml, std::string text);

// The texts of one row: the element children of one element, each as
// get_text gives it, in UTF-8. Valid until the callback returns.
using XmlRowCallback = std::function<void(const std::string_view* texts, size_t count)>;

// For a document of this component: finds the first element named tag in
// document order (as FindElement does) and calls row for each of its element
// children in order, leaving out the last when skip_last is set. Returns
// false, calling nothing, when xml is not this component's object; true
// otherwise (also when it holds no document or no such element).
bool ForEachChildRow(IQrnXml2* xml, const char* tag, bool skip_last, const XmlRowCallback& row);

}  // namespace qrn::platform
