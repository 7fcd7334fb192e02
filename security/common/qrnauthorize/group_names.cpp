// GroupNames: the groups a user belongs to, from the security server, the
// directory seen from this computer, the older server's request, or (for
// Novell clients) the NovellUserInfo component, joined with the server's and
// this computer's local groups and normalised to role group member names.
#include <string>
#include <vector>

#include "frame/config.h"
#include "frame/trail.h"
#include "platform/text.h"
#include "qrnauth/novell.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/qrnauthorize/com_helpers.h"
#include "security/common/qrnauthorize/directory_groups.h"
#include "security/common/qrnauthorize/group_list.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrncache.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace {

using qrn::AddTrailEntry;
using qrn::authorizationTrail;
using qrn::kAuthorizeSource;

constexpr char kFunction[] = "InitCache.GetUserRolesFromCache.GroupNames";
constexpr uint32_t kUrlBuffer = 256;
// The work buffer holds 511 bytes of user name; longer names are cut at a
// character boundary.
constexpr size_t kUserNameMax = 511;
constexpr float kOldServerLevel = 2.3f;
constexpr char kNdsMarker[] = "NDS:\\\\";

struct Report {
  int32_t line;
  const char* called;
  const char* step;
  const char* detail;
};

constexpr Report kT1 = {3561, "MvtIsNovellClient", "Checking if the client is Novell",
                        "Novell Client Check failure"};
constexpr Report kT2 = {3576, "CreateInstance", "Creating the Object Instance of NovellUserInfo",
                        "Failed to create instance of NovellUserInfo"};
constexpr Report kT3 = {3581, "ConvertToNovellUserFormat",
                        "Converting the user name into Novell Format",
                        "Convertion to Novell User name failed"};
constexpr Report kT4 = {3590, "pCache", "Checking if the Cache is loaded", "Cache is not loaded"};
constexpr Report kT5 = {3657, "GetAuthUrl", "Reading the URL from the registry",
                        "Fails to read the URL from registry"};
constexpr Report kT6 = {3767, "GetAuthUrl", "Reading the URL from the registry",
                        "Fails to read the URL from registry"};
constexpr Report kT7 = {3841, "BuildGroupArray3", "Getting the Groups", "Failed to get the groups"};

HRESULT Reported(const Report& report, HRESULT status) {
  return AddTrailEntry(authorizationTrail, kAuthorizeSource, report.line, kFunction, report.called,
                       report.step, status, report.detail);
}

HRESULT ReadUrl(std::string* url) {
  char buffer[kUrlBuffer] = {};
  uint32_t size = sizeof buffer;
  const HRESULT hr = qrn::GetAuthUrl(buffer, &size);
  *url = SUCCEEDED(hr) ? buffer : "";
  return hr;
}

// What a path delivers to the join.
struct PathResult {
  std::string text;
  bool found = false;
  HRESULT status = S_OK;
};

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
    if (FAILED(novell_check)) return Reported(kT1, novell_check);
    if (novell) return NovellGroupNames(&work, groups, count);

    const int32_t level = qrn::LocalGroupsLevel();
    bool ask_server_local = level != 0;
    bool add_client_local = level == 3;

    std::string name = work;
    if (const size_t slash = work.find('\\'); !work.empty() && slash != std::string::npos) {
      domain = work.substr(0, slash);
      name = work.substr(slash + 1);
    }

    PathResult path;
    std::string url;
    // "UseServerADSI" and "SourceDomainForGroups" are loaded with the URL.
    ReadUrl(&url);
    const qrn::ConfigState& config = qrn::Config();
    if (qrn::ServerProtocolLevel() > kOldServerLevel && config.server_adsi) {
      // The server resolves.
      path.text = std::string(qrn::kEveryoneGroup) + ";";
      const HRESULT hr = Reported(kT5, ReadUrl(&url));
      if (FAILED(hr)) return hr;
      std::string page;
      if (qrn::GetWebPage(qrn::UserGroupsRequest(url, name, domain), page, true))
        path.text += page.c_str();
      path.found = true;
    } else if (qrn::ServerProtocolLevel() > kOldServerLevel) {
      // This computer asks the directory.
      const std::string user_path = std::string(qrn::kWinNtScheme) + domain + "/" + name + ",user";
      if (qrn::GetGlobalGroups(user_path, &path.text) == S_OK) {
        path.found = true;
      } else {
        std::string text;
        const HRESULT hr = qrn::GetNetApiGroups(domain, name, &text);
        if (hr >= 0) {
          path.text = std::move(text);
          path.found = true;
          path.status = hr;
        } else {
          path.status = S_FALSE;
        }
      }
      std::string_view sources = config.source_domains;
      while (!sources.empty()) {
        const size_t semicolon = sources.find(';');
        const std::string_view entry = sources.substr(0, semicolon);
        if (!entry.empty()) qrn::GetForeignDomainGroups(user_path, std::string(entry), &path.text);
        if (semicolon == std::string_view::npos) break;
        sources.remove_prefix(semicolon + 1);
      }
    } else {
      // The older server returns all of the user's groups; its URL status is
      // not looked at.
      ReadUrl(&url);
      std::string page;
      if (!qrn::GetWebPage(qrn::AllUserGroupsRequest(url, name, domain), page, true)) return S_OK;
      path.text = page.c_str();
      if (path.text.empty()) return S_OK;
      ask_server_local = false;
      add_client_local = qrn::IsRemoteServer(url, qrn::ResolverComputerName());
      path.found = true;
    }

    // The join.
    if (!path.found || path.text.empty()) return path.status;
    groupsFlag = true;

    if (ask_server_local && cacheFlag != -1) {
      if (FAILED(Reported(kT6, ReadUrl(&url)))) return S_FALSE;
      // The answer is glued to the end of the text as it comes, without a
      // separator; a failed request adds nothing (not its error page).
      std::string page;
      if (qrn::GetWebPage(qrn::ServerLocalGroupsRequest(url, name, domain, path.text), page, true))
        path.text += page.c_str();
    }

    std::vector<std::string> entries;
    qrn::SplitGroupList(&path.text, &entries);

    if (add_client_local) {
      if (url.empty()) ReadUrl(&url);
      const std::string computer = qrn::ResolverComputerName();
      if (qrn::IsRemoteServer(url, computer)) {
        const std::string user_path = domain + "/" + name;
        std::vector<std::string> extra;
        const HRESULT hr = qrn::UseClientNetApi() == 1
                               ? qrn::GetLocalGroupsNetApi(computer, user_path, &extra)
                               : qrn::GetLocalGroupsAdsi(computer, user_path, entries, &extra);
        if (hr == S_OK && !extra.empty()) entries.insert(entries.end(), extra.begin(), extra.end());
      }
    }

    const HRESULT built = Reported(kT7, qrn::BuildGroupArray3(entries, &groups));
    if (FAILED(built)) return built;
    count = static_cast<int>(groups.size());
    return built;
  } catch (...) {
    count = 0;
    return E_UNEXPECTED;
  }
}

HRESULT CQRNAuthorize::NovellGroupNames(std::string* work, std::vector<std::string>& groups,
                                        int& count) {
  IUnknown* unknown = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_NovellUserInfo, nullptr, CLSCTX_ALL, IID_IUnknown,
                                reinterpret_cast<void**>(&unknown));
  qrn::ComRef<IUnknown> unknown_ref(unknown);
  INovellUserInfo* info = nullptr;
  if (SUCCEEDED(hr))
    hr = unknown->QueryInterface(IID_INovellUserInfo, reinterpret_cast<void**>(&info));
  qrn::ComRef<INovellUserInfo> info_ref(info);
  unknown_ref.reset();
  if (FAILED(hr)) return Reported(kT2, hr);

  const HRESULT converted = Reported(kT3, qrn::ConvertToNovellUserFormat(work));
  if (FAILED(converted)) return converted;
  if (cache == nullptr) return Reported(kT4, E_FAIL);

  const qrn::BstrRef user = qrn::MakeBstrRef(*work);
  for (const CQRNRole* role : cache->roleList.roles) {
    if (role == nullptr) continue;
    for (const CQRNRoleMemberGroup* member : role->groupMembers) {
      if (member == nullptr ||
          std::string_view(member->memberName).find(kNdsMarker) == std::string_view::npos)
        continue;
      try {
        const qrn::BstrRef group = qrn::MakeBstrRef(member->memberName);
        VARIANT_BOOL is_member = VARIANT_FALSE;
        if (SUCCEEDED(info->IsGroupMember(user.get(), group.get(), &is_member)) &&
            is_member == VARIANT_TRUE)
          groups.emplace_back(member->memberName);
      } catch (...) {
        // A failing test skips this candidate only.
      }
    }
  }
  count = static_cast<int>(groups.size());
  return converted;
}
