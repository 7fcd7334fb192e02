// Element lookups in the application document ("QRNAPPLS"):
//
//   QRNAPPLS     application elements, then a last counting child (never an
//                application)
//   application  APPLNAME, APPLID, GROUPCOUNT, ..., group i (from 0) at child
//                5 + i, also reachable by its tag "SECGROUP<i+1>"
//   group        GROUPID (child 0), GROUPNAME (child 1), SECOBJECTCOUNT, ...,
//                secured object i at child 4 + i
//   object       SECOBJID (child 0), SECOBJNAME (child 1)
//
// Names compare without regard to case (platform::EqualsNoCase). A missing
// element is no error (success and a null element); an element whose name
// cannot be read is passed over, so one damaged entry does not hide the
// others. Other lookups return the status of their last component call. Counts are read like atoi;
// a count larger than the element's number of children is cut to that number, so a damaged count
// cannot make a lookup run long or allocate much.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "qrnauth/oleauto.h"
#include "qrnauth/qrnxml.h"
#include "security/common/com_owners.h"

namespace qrn {

using ElementRef = ComRef<IXMLElement>;

// "QRN" and the 36 characters after the first one of a document identifier
// "{...}" (the closing brace is dropped). A shorter text gives fewer.
std::string SecurityIdText(std::string_view document_id);

HRESULT GetApplication(IQrnXml2* xml, std::string_view name, ElementRef* application);
HRESULT GetGroup(IQrnXml2* xml, IXMLElement* application, std::string_view name, ElementRef* group);
HRESULT GetSecObj(IQrnXml2* xml, IXMLElement* group, std::string_view name, ElementRef* object);

// The element's identifier child converted by SecurityIdText.
HRESULT GetApplicationId(IQrnXml2* xml, IXMLElement* application, std::string* id);
HRESULT GetGroupId(IQrnXml2* xml, IXMLElement* group, std::string* id);
HRESULT GetSecObjId(IQrnXml2* xml, IXMLElement* object, std::string* id);

// Name and identifier lists (VARIANTs holding BSTR vectors from 0; entries
// that cannot be read stay null) of an application's groups and of a
// group's secured objects.
HRESULT GetApplGroups(IQrnXml2* xml, IXMLElement* application, VARIANT* names, VARIANT* ids);
HRESULT GetSecObjs(IQrnXml2* xml, IXMLElement* group, VARIANT* names, VARIANT* ids);
// GetGroup, then GetSecObjs when the group is found.
HRESULT GetApplGroupMembers(IQrnXml2* xml, IXMLElement* application, std::string_view group,
                            VARIANT* names, VARIANT* ids);

// An empty BSTR vector of n entries in *value (VT_ARRAY | VT_BSTR).
HRESULT MakeBstrVector(VARIANT* value, ULONG n);

// Names of the applications in the document (children of QRNAPPLS but the
// last; a child without a readable name gives an empty name).
std::vector<std::string> ApplicationNames(IQrnXml2* xml);

// Splits a dotted name "first.second.third" (trimmed at both ends; the third
// part trimmed too). Parts that are not present stay empty:
//   "a" -> a;  "a." -> a;  "a.b" -> a, b;  "a..c" -> a;  "a.b." -> a, b;
//   "a.b.c" -> a, b, c;  "a.b.c.d" -> E_INVALIDARG with every part empty.
HRESULT SplitDottedName(std::string_view full_name, std::string* first, std::string* second,
                        std::string* third);

}  // namespace qrn
