// The sources of GroupNames: each delivers the text of a user's groups (names
// separated by ";") to the join step, which adds the local groups and turns
// the text into role group member names. One source answers per lookup:
//   - the security server resolves (protocol above 2.3 and "UseServerADSI");
//   - this computer asks the directory (protocol above 2.3 otherwise);
//   - the older server's list of all the user's groups (protocol 2.3 and
//     below).
// Novell clients take none of these (CQRNAuthorize::NovellGroupNames).
#pragma once

#include <string>

#include "qrnauth/oleauto.h"
#include "security/common/qrnauthorize/check_observer.h"

namespace qrn {

// The user a source resolves for: name and domain split at the first "\".
struct GroupQuery {
  std::string domain;
  std::string name;
};

// What a source delivers to the join, and how the join goes on.
struct SourceGroups {
  std::string text;
  bool found = false;
  HRESULT status = S_OK;  // GroupNames' answer when nothing was found
  // The server's local groups are asked for; this computer's are added.
  bool ask_server_local = false;
  bool add_client_local = false;
  std::string url;  // the URL the source read, when it read one
};

class GroupSource {
 public:
  virtual ~GroupSource() = default;
  virtual GroupOrigin Origin() const = 0;
  // Fills *out (ask_server_local and add_client_local come set to the
  // configured local-groups level). False: GroupNames ends at once with
  // out->status, and no join takes place.
  virtual bool Resolve(const GroupQuery& query, SourceGroups* out) const = 0;
};

// The source for this lookup, chosen by the server's protocol level and
// "UseServerADSI".
const GroupSource& ChooseGroupSource();

// The configuration URL (empty when none is known), with GetAuthUrl's status.
HRESULT ReadGroupsUrl(std::string* url);

}  // namespace qrn
