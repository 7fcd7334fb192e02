// The reporting steps every loader of a server document shares: creating the
// XML component, parsing the text, asking for its second interface and
// writing the cache file. Each loader places them at its own source line
// (AtLine); the writes of the three cache documents are fixed steps.
#pragma once

#include "frame/report.h"

namespace qrn::document_steps {

constexpr Step kCreate = {0, "CoCreateInstance", "Creating instance of IQrnXml",
                          "Class not registered"};
constexpr Step kParse = {0, "put_XmlString", "Parsing the XML string", "Parsing failed"};
constexpr Step kQuery = {0, "QueryInterface", "Quering for Interface IQrnXml2",
                         "IQrnXml2 is not registered"};
constexpr Step kWrite = {0, "QrnEncryptBufferAndPersistInFile", "", "Write operation failed"};

// The write of each cache document, wherever it is written from.
constexpr Step kWriteApplications =
    kWrite.AtLine(1269).WithText("Writing the Secured Application Data in Cache");
constexpr Step kWriteRoles = kWrite.AtLine(1234).WithText("Writing the MVT Roles in Cache");
constexpr Step kWriteAcls = kWrite.AtLine(800).WithText("Writing the ACLs in Cache");

}  // namespace qrn::document_steps
