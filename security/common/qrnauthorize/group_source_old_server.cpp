// Group source: the older server returns all of the user's groups, its own
// local groups included, so the server is not asked for them again; this
// computer's local groups are added when the server runs elsewhere.
#include "security/common/qrnauthorize/group_list.h"
#include "security/common/qrnauthorize/group_source_list.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace qrn {

namespace {

class OldServerGroups : public GroupSource {
 public:
  GroupOrigin Origin() const override { return GroupOrigin::kOldServer; }
  bool Resolve(const GroupQuery& query, SourceGroups* out) const override {
    // The URL's status is not looked at.
    ReadGroupsUrl(&out->url);
    std::string page;
    out->status = S_OK;
    if (!GetWebPage(AllUserGroupsRequest(out->url, query.name, query.domain), page, true))
      return false;
    out->text = page.c_str();
    if (out->text.empty()) return false;
    out->ask_server_local = false;
    out->add_client_local = IsRemoteServer(out->url, ResolverComputerName());
    out->found = true;
    return true;
  }
};

}  // namespace

const GroupSource& OldServerGroupSource() {
  static const OldServerGroups source;
  return source;
}

}  // namespace qrn
