// A load from the server: the three documents are fetched, parsed and
// checked before anything of them is kept or stored, and then stored as one
// set with the server timestamp.
//
// A load that did not get all three documents whole stores no timestamp and
// replaces no file: a cut answer, an error page or garbage that slipped past
// the classification, or a well-formed text that is not the document asked
// for is treated like an unreachable server (InitCache then answers from the
// valid local files).
#pragma once

#include <string>
#include <string_view>

#include "qrnauth/qrnxml.h"
#include "security/common/com_owners.h"

namespace qrn {

struct ServerDocuments {
  // Parsed documents (IQrnXml2 of the XML component; the ACL document also
  // answers IQrnXml) and the texts they were parsed from. A text taken from
  // the last combined answer views SecurityParts() (which stays as it is
  // until the next combined answer); a text fetched by its own request
  // views the page kept here.
  ComRef<IQrnXml2> application, roles, acls;
  std::string_view application_text, roles_text, acl_text;
  std::string application_page, roles_page, acl_page;

  ServerDocuments() = default;
  // The texts may view the pages above: neither copied nor moved.
  ServerDocuments(const ServerDocuments&) = delete;
  ServerDocuments& operator=(const ServerDocuments&) = delete;
};

// What was wrong with the server's documents, for the trail.
struct ServerDocumentFault {
  std::string step;    // "Checking the Role document of the server"
  std::string called;  // "GetWebPage", "put_XmlString" or "FindElement"
  std::string detail;  // why the document is not usable
};

// Takes each document from the security data parts of the last combined
// answer, else from its own request (application, role, ACL request), and
// checks that it parses and holds its top element (QRNAPPLS, QRNROLES,
// QRNACLS). False at the first document that does not, with the fault.
bool FetchServerDocuments(ServerDocuments* documents, ServerDocumentFault* fault);

// Writes "ApplCache.xml", "RoleCache.xml", "AclCache.xml", then the
// timestamp file and "CacheValidation", all under the cache folder's
// exclusive lock, so no other process's set gets mixed into this one.
// Every failure is reported to the authorization trail (function
// "InitCache").
enum class StoreOutcome {
  kStored,
  kSkipped,  // the lock was not had in time: nothing written (status 1 in the trail)
  kFailed,   // a write failed; *status holds its result
};
StoreOutcome StoreServerDocuments(const ServerDocuments& documents, const std::string& timestamp,
                                  HRESULT* status);

}  // namespace qrn
