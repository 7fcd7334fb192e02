// The Novell clients' groups: the candidates are the "NDS:\\" group members
// of the loaded roles, each tested with the NovellUserInfo component. Unlike
// the other group sources it reads the loaded roles, and its answer goes to
// the matching as it is, without the join.
#include <string>
#include <string_view>
#include <vector>

#include "qrnauth/novell.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/com_owners.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrnauthorize/steps.h"
#include "security/common/role_records.h"

namespace {

namespace steps = qrn::authorize_steps;

constexpr qrn::Site kSite = steps::kGroupNamesSite;
constexpr qrn::Step kCreate = {3576, "CreateInstance",
                               "Creating the Object Instance of NovellUserInfo",
                               "Failed to create instance of NovellUserInfo"};
constexpr qrn::Step kNovellName = steps::kNovellName.AtLine(3581);
constexpr qrn::Step kCacheLoaded = steps::kCacheLoaded.AtLine(3590);
constexpr char kNdsMarker[] = "NDS:\\\\";

}  // namespace

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
  if (FAILED(hr)) return qrn::Report(kSite, kCreate, hr);

  const HRESULT converted = qrn::Report(kSite, kNovellName, qrn::ConvertToNovellUserFormat(work));
  if (FAILED(converted)) return converted;
  if (cache == nullptr) return qrn::Report(kSite, kCacheLoaded, E_FAIL);

  const qrn::BstrRef user = qrn::MakeBstrRef(*work);
  for (const CQRNRole* role : cache->roleList.roles) {
    if (role == nullptr) continue;
    qrn::RoleRecords::ForEachMember(*role, false, [&](std::string_view member) {
      if (member.find(kNdsMarker) == std::string_view::npos) return;
      try {
        const std::string name(member);
        const qrn::BstrRef group = qrn::MakeBstrRef(name);
        VARIANT_BOOL is_member = VARIANT_FALSE;
        if (SUCCEEDED(info->IsGroupMember(user.get(), group.get(), &is_member)) &&
            is_member == VARIANT_TRUE)
          groups.push_back(name);
      } catch (...) {
        // A failing test skips this candidate only.
      }
    });
  }
  count = static_cast<int>(groups.size());
  return converted;
}
