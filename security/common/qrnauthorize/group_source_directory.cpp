// Group source: this computer asks the directory for the user's global
// groups (else the account's groups), then the groups of each domain named
// in "SourceDomainForGroups".
#include <string_view>

#include "frame/config.h"
#include "security/common/qrnauthorize/directory_groups.h"
#include "security/common/qrnauthorize/group_source_list.h"

namespace qrn {

namespace {

class DirectoryGroups : public GroupSource {
 public:
  GroupOrigin Origin() const override { return GroupOrigin::kDirectory; }
  bool Resolve(const GroupQuery& query, SourceGroups* out) const override {
    const std::string user_path =
        std::string(kWinNtScheme) + query.domain + "/" + query.name + ",user";
    if (GetGlobalGroups(user_path, &out->text) == S_OK) {
      out->found = true;
    } else {
      std::string text;
      const HRESULT hr = GetNetApiGroups(query.domain, query.name, &text);
      if (hr >= 0) {
        out->text = std::move(text);
        out->found = true;
        out->status = hr;
      } else {
        out->status = S_FALSE;
      }
    }
    const std::string source_domains = SourceDomains();
    std::string_view sources = source_domains;
    while (!sources.empty()) {
      const size_t semicolon = sources.find(';');
      const std::string_view entry = sources.substr(0, semicolon);
      if (!entry.empty()) GetForeignDomainGroups(user_path, std::string(entry), &out->text);
      if (semicolon == std::string_view::npos) break;
      sources.remove_prefix(semicolon + 1);
    }
    return true;
  }
};

}  // namespace

const GroupSource& DirectoryGroupSource() {
  static const DirectoryGroups source;
  return source;
}

}  // namespace qrn
