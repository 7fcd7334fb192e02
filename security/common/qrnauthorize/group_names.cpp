// GroupNames: the groups a user belongs to, from one of the group sources
// (group_source.h) or, for Novell clients, the NovellUserInfo component,
// joined with the server's and this computer's local groups and normalised to
// role group member names.
#include <string>
#include <vector>

#include "frame/config.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/check_observer.h"
#include "security/common/qrnauthorize/directory_groups.h"
#include "security/common/qrnauthorize/group_list.h"
#include "security/common/qrnauthorize/group_source_list.h"
#include "security/common/qrnauthorize/steps.h"
#include "security/common/qrncache.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace qrn {

HRESULT ReadGroupsUrl(std::string* url) {
  char buffer[256] = {};
  uint32_t size = sizeof buffer;
  const HRESULT hr = GetAuthUrl(buffer, &size);
  *url = SUCCEEDED(hr) ? buffer : "";
  return hr;
}

const GroupSource& ChooseGroupSource() {
  constexpr float kOldServerLevel = 2.3f;
  if (ServerProtocolLevel() <= kOldServerLevel) return OldServerGroupSource();
  return ServerAdsi() ? ServerGroupSource() : DirectoryGroupSource();
}

}  // namespace qrn

namespace {

using qrn::Report;
namespace steps = qrn::authorize_steps;

constexpr qrn::Site kSite = steps::kGroupNamesSite;
// The work buffer holds 511 bytes of user name; longer names are cut at a
// character boundary.
constexpr size_t kUserNameMax = 511;

constexpr qrn::Step kNovellCheck = steps::kNovellCheck.AtLine(3561);
constexpr qrn::Step kServerLocalUrl =
    steps::kReadUrl.AtLine(3767).WithDetail("Fails to read the URL from registry");
constexpr qrn::Step kBuild = {3841, "BuildGroupArray3", "Getting the Groups",
                              "Failed to get the groups"};

}  // namespace

HRESULT CQRNAuthorize::GroupNames(const char* user, std::string& domain,
                                  std::vector<std::string>& groups, int& count) {
  domain.clear();
  groups.clear();
  count = 0;
  try {
    std::string work(qrn::platform::CutAtCharBoundary(user != nullptr ? user : "", kUserNameMax));

    bool novell = false;
    const HRESULT novell_check = qrn::MvtIsNovellClient(&novell);
    if (FAILED(novell_check)) return Report(kSite, kNovellCheck, novell_check);
    qrn::CheckObserver* const observer = qrn::ActiveCheckObserver();
    if (novell) {
      if (observer != nullptr) observer->GroupSource(qrn::GroupOrigin::kNovell);
      return NovellGroupNames(&work, groups, count);
    }

    const int32_t level = qrn::LocalGroupsLevel();
    qrn::GroupQuery query;
    query.name = work;
    if (const size_t slash = work.find('\\'); !work.empty() && slash != std::string::npos) {
      query.domain = work.substr(0, slash);
      query.name = work.substr(slash + 1);
    }
    domain = query.domain;

    // "UseServerADSI" and "SourceDomainForGroups" are loaded with the URL.
    std::string url;
    qrn::ReadGroupsUrl(&url);
    const qrn::GroupSource& source = qrn::ChooseGroupSource();
    if (observer != nullptr) observer->GroupSource(source.Origin());
    qrn::SourceGroups path;
    path.ask_server_local = level != 0;
    path.add_client_local = level == 3;
    if (!source.Resolve(query, &path)) return path.status;

    // The join.
    if (!path.found || path.text.empty()) return path.status;
    groupsFlag = true;

    if (path.ask_server_local && cacheFlag != -1) {
      if (FAILED(Report(kSite, kServerLocalUrl, qrn::ReadGroupsUrl(&url)))) return S_FALSE;
      // The answer is glued to the end of the text as it comes, without a
      // separator; a failed request adds nothing (not its error page).
      std::string page;
      if (qrn::GetWebPage(qrn::ServerLocalGroupsRequest(url, query.name, query.domain, path.text),
                          page, true))
        path.text += page.c_str();
    }

    std::vector<std::string> entries;
    qrn::SplitGroupList(&path.text, &entries);

    if (path.add_client_local) {
      if (url.empty()) qrn::ReadGroupsUrl(&url);
      const std::string computer = qrn::ResolverComputerName();
      if (qrn::IsRemoteServer(url, computer)) {
        const std::string user_path = query.domain + "/" + query.name;
        std::vector<std::string> extra;
        const HRESULT hr = qrn::UseClientNetApi() == 1
                               ? qrn::GetLocalGroupsNetApi(computer, user_path, &extra)
                               : qrn::GetLocalGroupsAdsi(computer, user_path, entries, &extra);
        if (hr == S_OK && !extra.empty()) entries.insert(entries.end(), extra.begin(), extra.end());
      }
    }

    const HRESULT built = Report(kSite, kBuild, qrn::BuildGroupArray3(entries, &groups));
    if (FAILED(built)) return built;
    count = static_cast<int>(groups.size());
    return built;
  } catch (...) {
    count = 0;
    return E_UNEXPECTED;
  }
}
