// The request catalogue of the security page: one query text in, one answer
// out. Parameter names and the Object and Operation values are matched
// without regard to case; values are percent-decoded ("+" reads as a blank).
//
//   (bare page)                                      a small OK document
//   Object=MvtSecData&Operation=Get&ClientTimestamp= the combined security data
//                                                    (an empty page for an old server)
//   Object=dateTime&Object2=LocalGroupsLevel         the old-server date answer
//   Object=dateTime                                  the server timestamp
//   Object=Appl&Operation=GetAll                     the application document
//   Object=Role&Operation=Get                        the role document
//   Object=Cache&Operation=Get                       the ACL document
//   User=&Domain=&Operation=Get&Object=UserGroups    the user's groups
//   User=&Domain=&Operation=Get&Object=AllUserGroups all the user's groups
//   User=&Domain=&DomainGroups=&Operation=Append&Object=ServerLocalGroups
//                                                    the server's local groups
//   Object=Log&Operation=Add&User=&Action=&Status=&Computer=
//                                                    one line in the audit log
// Anything else gets an HTML page saying "error", which clients classify as
// an error page.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/audit_writer.h"
#include "server/linelog.h"
#include "server/store.h"

namespace qrn::secd {

struct Answer {
  int status = 200;
  std::string content_type;
  std::string body;
};

using QueryParams = std::vector<std::pair<std::string, std::string>>;

// Splits a query text (without "?") at "&" and "=" and decodes both sides.
// A "%" not followed by two hexadecimal digits stays as it is.
QueryParams ParseQuery(std::string_view query);
std::string PercentDecode(std::string_view text);

class RequestRouter {
 public:
  // audit may be closed and audit_db null: audit requests are then
  // answered and not kept. Each record goes to both when both are given.
  RequestRouter(Store* store, LineLog* audit, bool old_server, AuditWriter* audit_db = nullptr)
      : store_(store), audit_(audit), audit_db_(audit_db), old_server_(old_server) {}

  Answer Handle(std::string_view query) const;

 private:
  Answer Audit(const QueryParams& params) const;

  Store* store_;
  LineLog* audit_;
  AuditWriter* audit_db_;
  bool old_server_;
};

// The page for a path other than the security page (HTTP 404).
Answer NotFound(std::string_view path);

}  // namespace qrn::secd
