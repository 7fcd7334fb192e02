// RefreshCache: asks the server again and reloads when its data changed.
#include <string>

#include "frame/trail.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrncache.h"

namespace {

constexpr char kFunction[] = "RefreshCache";

constexpr int32_t kFlagLine = 1915;
constexpr char kFlagCalled[] = "QrnGetCacheFlag";
constexpr char kFlagStep[] = "Reading the Cache flag";
constexpr char kFlagDetail[] = "Could not get the Cache flag";

constexpr int32_t kUpdatedLine = 1922;
constexpr int32_t kNotUpdatedLine = 1933;
constexpr char kCompareCalled[] = "[CompareTimestamp]";
constexpr char kCompareStep[] = "Checking if Local Cache is updated";
constexpr char kUpdatedDetail[] = "Local Cache is updated";
constexpr char kNotUpdatedDetail[] = "Local Cache is not updated";

}  // namespace

bool CQRNAuthorize::RefreshCache(bool& refreshed, unsigned int clear_flags) {
  using qrn::AddTrailEntry;
  using qrn::authorizationTrail;
  try {
    qrn::ResetCacheFlag();
    int16_t flag = 0;
    std::string server_timestamp;
    const HRESULT hr =
        AddTrailEntry(authorizationTrail, qrn::kAuthorizeSource, kFlagLine, kFunction, kFlagCalled,
                      kFlagStep, qrn::QrnGetCacheFlag(&flag, &server_timestamp), kFlagDetail);

    if (SUCCEEDED(hr) && flag == cacheFlag &&
        qrn::platform::EqualsNoCase(server_timestamp, cacheTimestamp)) {
      AddTrailEntry(authorizationTrail, qrn::kAuthorizeSource, kUpdatedLine, kFunction,
                    kCompareCalled, kCompareStep, 1, kUpdatedDetail);
      refreshed = false;
      if (clear_flags & QRN_CLEAR_GROUPS) RefreshCacheUserGroups();
      return true;
    }

    AddTrailEntry(authorizationTrail, qrn::kAuthorizeSource, kNotUpdatedLine, kFunction,
                  kCompareCalled, kCompareStep, 1, kNotUpdatedDetail);
    ClearCache(clear_flags);
    qrn::ResetCacheFlag();
    refreshed = true;
    const std::string user = cacheUser;
    return InitCache(user.c_str(), clear_flags);
  } catch (...) {
    return false;
  }
}
