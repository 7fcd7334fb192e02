// Group source: the security server resolves the user's groups; the
// everyone group leads the list.
#include "security/common/qrnauthorize/directory_groups.h"
#include "security/common/qrnauthorize/group_source_list.h"
#include "security/common/qrnauthorize/steps.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace qrn {

namespace {

constexpr Step kReadUrl =
    authorize_steps::kReadUrl.AtLine(3657).WithDetail("Fails to read the URL from registry");

class ServerGroups : public GroupSource {
 public:
  GroupOrigin Origin() const override { return GroupOrigin::kServer; }
  bool Resolve(const GroupQuery& query, SourceGroups* out) const override {
    out->text = std::string(kEveryoneGroup) + ";";
    out->status = Report(authorize_steps::kGroupNamesSite, kReadUrl, ReadGroupsUrl(&out->url));
    if (FAILED(out->status)) return false;
    std::string page;
    if (GetWebPage(UserGroupsRequest(out->url, query.name, query.domain), page, true))
      out->text += page.c_str();
    out->found = true;
    return true;
  }
};

}  // namespace

const GroupSource& ServerGroupSource() {
  static const ServerGroups source;
  return source;
}

}  // namespace qrn
