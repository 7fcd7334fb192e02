// RefreshCache: asks the server again and reloads when its data changed.
#include <string>

#include "frame/report.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrncache.h"

namespace {

constexpr qrn::Site kSite = {&qrn::authorizationTrail, qrn::kAuthorizeSource, "RefreshCache"};
constexpr qrn::Step kFlag = {1915, "QrnGetCacheFlag", "Reading the Cache flag",
                             "Could not get the Cache flag"};
constexpr qrn::Step kUpdated = {1922, "[CompareTimestamp]", "Checking if Local Cache is updated",
                                "Local Cache is updated"};
constexpr qrn::Step kNotUpdated = kUpdated.AtLine(1933).WithDetail("Local Cache is not updated");

}  // namespace

bool CQRNAuthorize::RefreshCache(bool& refreshed, unsigned int clear_flags) {
  using qrn::Report;
  try {
    qrn::ResetCacheFlag();
    int16_t flag = 0;
    std::string server_timestamp;
    const HRESULT hr = Report(kSite, kFlag, qrn::QrnGetCacheFlag(&flag, &server_timestamp));

    if (SUCCEEDED(hr) && flag == cacheFlag &&
        qrn::platform::EqualsNoCase(server_timestamp, cacheTimestamp)) {
      Report(kSite, kUpdated, 1);
      refreshed = false;
      if (clear_flags & QRN_CLEAR_GROUPS) RefreshCacheUserGroups();
      return true;
    }

    Report(kSite, kNotUpdated, 1);
    ClearCache(clear_flags);
    qrn::ResetCacheFlag();
    refreshed = true;
    const std::string user = cacheUser;
    return InitCache(user.c_str(), clear_flags);
  } catch (...) {
    return false;
  }
}
