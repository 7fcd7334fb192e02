// The answers qrnsecd sends, rendered once per data load.
//
// Documents are wrapped in <DOCUMENT>...</DOCUMENT>, texts and attributes
// XML-escaped, and role member lists and ACL values sent in the cache text
// form. Clients read the application document by position as well as by tag:
//   QRNAPPLS:  one APPL per application, then APPLCOUNT (never read as one)
//   APPL:      APPLNAME, APPLID, GROUPCOUNT, APPLDESC, APPLFLAGS, SECGROUP1..n
//   SECGROUPi: GROUPID, GROUPNAME, SECOBJECTCOUNT, GROUPDESC, SECOBJECT...
//   SECOBJECT: SECOBJID, SECOBJNAME
// The role document holds one ROLE of five children per role (ROLEID,
// ROLENAME, ROLEDESC, ROLEGROUPS, ROLEUSERS), then ROLECOUNT; the ACL
// document one <ACL KEY="object key">value</ACL> per object, then ACLCOUNT.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/secdata.h"

namespace qrn::secd {

struct Documents {
  std::string timestamp;     // request 3: the date-time answer
  std::string applications;  // request 4
  std::string roles;         // request 5
  std::string acls;          // request 6
  std::string combined;      // request 1: the five tagged parts
  std::string old_date;      // request 2: lead-in, timestamp, ";LocalGroupsLevel:" digit
};

// Renders every document of `data`, whose server timestamp is `timestamp`.
Documents RenderDocuments(const SecurityData& data, const std::string& timestamp);

// A group list answer (requests 7 and 8): each name followed by ";", with
// "\" turned into the "/" that the client splits qualifier and name at.
std::string GroupListAnswer(const std::vector<std::string>& groups);

// The server-local groups answer (request 9). The client glues it to the end
// of its list text `domain_groups` without a separator, so it starts with ";"
// when that text does not already end with one.
std::string ServerLocalGroupsAnswer(const std::vector<std::string>& groups,
                                    std::string_view domain_groups);

// Escapes & < > " ' for element text and attribute values.
std::string XmlEscape(std::string_view text);

}  // namespace qrn::secd
