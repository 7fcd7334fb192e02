// The checks that make a text one well-formed XML document where the parser
// itself is lenient. The parser accepts several root elements, text around
// the root, references to entities it does not know (kept as they are) and
// an attribute given twice; the XML component refuses all of them, so that
// leading or trailing garbage around a document fails to load.
#pragma once

#include <string_view>

namespace qrn::platform {

// True when text, up to its first NUL (where the parser stops as well), is
// exactly one root element with only blanks (space, tab, CR, LF), comments,
// processing instructions and one document type declaration before the
// root around it (a UTF-8 byte order mark may lead); every reference in
// text content and attribute values is one of &lt; &gt; &amp; &quot; &apos;
// or a character reference to a character XML allows (entities declared in
// a document type declaration are not expanded and count as undefined); and
// no start tag names an attribute twice. Nesting and tag names are left to
// the parser. Linear in the length of text.
bool IsOneWellFormedDocument(std::string_view text);

}  // namespace qrn::platform
