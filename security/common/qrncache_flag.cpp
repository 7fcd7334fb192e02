// The cache-flag decision: security server or local cache, taken once per
// process, and the availability check that asks the server for its combined
// security data.
#include <cstring>

#include "frame/config.h"
#include "frame/report.h"
#include "platform/os.h"
#include "platform/text.h"
#include "security/common/qrncache.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace qrn {

namespace {

constexpr float kCurrentProtocolLevel = 2.4f;
constexpr float kOldServerProtocolLevel = 2.3f;
constexpr int32_t kDefaultLocalGroupsLevel = 3;

constexpr Site kFlagSite = {&authorizationTrail, kCacheSource, "InitCache.QrnGetCacheFlag"};
constexpr Site kAvailabilitySite =
    kFlagSite.In("InitCache.QrnGetCacheFlag.QrnCheckServerAvailability");

constexpr Step kAvailable = {508, "QrnCheckServerAvailability", kServerAvailabilityStep,
                             "MVT Security Server is available so local Cache would not be used"};
constexpr Step kNotAvailable = {514, "QrnCheckServerAvailability", kServerAvailabilityStep,
                                "MVT Security Server not available so local Cache would be used"};
// The same steps when the host's name matched.
constexpr Step kAvailableHost = kAvailable.AtLine(488);
constexpr Step kNotAvailableHost = kNotAvailable.AtLine(494);
constexpr Step kNoUrl = kNotAvailable.AtLine(573);
constexpr Step kUrl = {574, "GetAuthUrl", "Reading the URL from the registry",
                       "Failed to read the URL from registry"};
constexpr Step kWebCall = {659, "GetWebPage", "Making the Web Call ",
                           "Could not access the Web Page"};

// Upper-cased file names; the library's base name contains one of these, the
// host's base name is one of the others.
constexpr const char* kLibraryNames[] = {"LIBQRNAUTH.SO", "LIBQRNAUTHD.SO"};
constexpr const char* kHostNames[] = {"WKZ", "WKZD"};

constexpr uint32_t kUrlBuffer = 260;

struct CacheFlagState {
  bool decided = false;
  int16_t flag = 0;
  bool asked_server = false;
  float protocol_level = kCurrentProtocolLevel;
  int32_t local_groups_level = kDefaultLocalGroupsLevel;
  SecurityDataParts parts;
};

CacheFlagState& State() {
  static CacheFlagState state;
  return state;
}

std::string_view BaseName(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// ASCII upper-casing, as the names compared are ASCII.
std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

bool ReadLocalProfile() {
  uint32_t value = 0;
  return ReadDwordValue(platform::RegHive::CurrentUser, kWkzKey, kLocalProfileValue, &value) &&
         value == 1;
}

HRESULT CheckAvailability(int16_t* available, std::string* server_timestamp) {
  CacheFlagState& state = State();
  char url_buffer[kUrlBuffer] = {};
  uint32_t size = sizeof url_buffer;
  HRESULT hr = GetAuthUrl(url_buffer, &size);
  if (FAILED(hr)) {
    Report(kFlagSite, kNoUrl, 1);
    Report(kAvailabilitySite, kUrl, hr);
    return S_OK;
  }
  const std::string base(url_buffer);

  *available = 0;
  const std::string request = CombinedDataRequest(base, GetClientTimestamp());
  std::string page;
  if (!GetWebPage(request, page, false)) {
    const std::string step = kWebCall.text + UrlWithoutUserInfo(request);
    Report(kAvailabilitySite, kWebCall.WithText(step.c_str()), 0);
    return S_OK;
  }

  // The terminated text is empty exactly when the page is or starts with a
  // NUL: no need to look through the whole answer for one.
  if (!page.empty() && page.front() != '\0') {
    // The page is not needed afterwards: it is split in place.
    SecurityDataParts parts = SplitCombinedDataInPlace(std::move(page));
    state.local_groups_level = parts.local_groups_level;
    state.protocol_level = kCurrentProtocolLevel;
    if (server_timestamp != nullptr) *server_timestamp = parts.server_timestamp;
    state.parts = std::move(parts);
  } else {
    // An old server answers the combined request with an empty page; its
    // date request then gives the timestamp and maybe the level.
    std::string date_page;
    std::string timestamp;
    if (GetWebPage(OldServerDateRequest(base), date_page, false) &&
        !TerminatedText(date_page).empty()) {
      const OldServerDate date = ParseOldServerDate(TerminatedText(date_page));
      timestamp = date.timestamp;
      if (date.has_level) state.local_groups_level = date.level;
    }
    state.protocol_level = kOldServerProtocolLevel;
    if (server_timestamp != nullptr) *server_timestamp = timestamp;
  }
  *available = -1;
  return S_OK;
}

}  // namespace

SecurityDataParts& SecurityParts() { return State().parts; }
float ServerProtocolLevel() { return State().protocol_level; }
int32_t LocalGroupsLevel() { return State().local_groups_level; }
bool CacheFlagAskedServer() { return State().decided && State().asked_server; }

bool IsQualifiedLibraryName(std::string_view path) {
  const std::string name = UpperAscii(BaseName(path));
  for (const char* library : kLibraryNames)
    if (name.find(library) != std::string::npos) return true;
  return false;
}

bool IsLocalProfileHostName(std::string_view path) {
  const std::string name = UpperAscii(BaseName(path));
  for (const char* host : kHostNames)
    if (name == host) return true;
  return false;
}

HRESULT QrnCheckServerAvailability(int16_t* available, std::string* server_timestamp) {
  if (available == nullptr) return E_INVALIDARG;
  try {
    return CheckAvailability(available, server_timestamp);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT QrnGetCacheFlag(int16_t* flag, std::string* server_timestamp) {
  if (flag == nullptr) return E_INVALIDARG;
  *flag = 0;
  CacheFlagState& state = State();
  if (state.decided) {
    *flag = state.flag;
    return S_OK;
  }
  // Taken before it is known: a failure below leaves flag 0 decided.
  state.decided = true;
  state.flag = 0;
  state.asked_server = false;
  try {
    const std::string host = platform::HostFileName();
    const std::string library = platform::ModuleFileName();
    if (host.empty() || library.empty()) return E_FAIL;
    const bool host_matched = IsLocalProfileHostName(host);
    if (!IsQualifiedLibraryName(library)) return S_OK;

    if (host_matched) {
      bool web_server = false;
      QrnIsWebServer(&web_server);
      if (!web_server && ReadLocalProfile()) {
        state.flag = -1;
        *flag = state.flag;
        return S_OK;
      }
    }

    state.asked_server = true;
    int16_t available = 0;
    const HRESULT hr = QrnCheckServerAvailability(&available, server_timestamp);
    if (SUCCEEDED(hr) && available == -1) {
      state.flag = 0;
      Report(kFlagSite, host_matched ? kAvailableHost : kAvailable, 0);
    } else {
      state.flag = -1;
      Report(kFlagSite, host_matched ? kNotAvailableHost : kNotAvailable, 1);
    }
    *flag = state.flag;
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

void ResetCacheFlag() {
  CacheFlagState& state = State();
  state.decided = false;
  state.flag = 0;
  state.asked_server = false;
}

}  // namespace qrn
