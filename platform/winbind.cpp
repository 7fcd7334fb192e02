#include "platform/winbind.h"

#if defined(QRNAUTH_HAVE_WBCLIENT)
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
extern "C" {
#include <wbclient.h>  // the header has no C++ linkage block of its own
}
#endif

namespace qrn::platform {

#if defined(QRNAUTH_HAVE_WBCLIENT)

namespace {

struct Details {
  bool ok = false;
  char separator = '\\';
  std::string domain;
};

Details AskDetails() {
  Details result;
  struct wbcInterfaceDetails* details = nullptr;
  if (wbcInterfaceDetails(&details) != WBC_ERR_SUCCESS || details == nullptr) return result;
  result.ok = true;
  if (details->winbind_separator != '\0') result.separator = details->winbind_separator;
  if (details->netbios_domain != nullptr) result.domain = details->netbios_domain;
  wbcFreeMemory(details);
  return result;
}

// Asked once per process: the separator and the machine's domain do not
// change while the process runs.
const Details& CachedDetails() {
  static const Details details = AskDetails();
  return details;
}

}  // namespace

char WinbindSeparator() { return CachedDetails().separator; }

bool WinbindMachineDomain(std::string* domain) {
  const Details& details = CachedDetails();
  if (!details.ok || details.domain.empty()) return false;
  *domain = details.domain;
  return true;
}

bool WinbindUserSid(const std::string& domain, const std::string& user, std::string* sid) {
  wbcDomainSid found{};
  wbcSidType type = WBC_SID_NAME_USE_NONE;
  if (wbcLookupName(domain.c_str(), user.c_str(), &found, &type) != WBC_ERR_SUCCESS) return false;
  char text[WBC_SID_STRING_BUFLEN] = {};
  const int length = wbcSidToStringBuf(&found, text, sizeof(text));
  if (length <= 0 || length >= static_cast<int>(sizeof(text))) return false;
  *sid = std::string(text, static_cast<size_t>(length));
  return true;
}

#else

char WinbindSeparator() { return '\\'; }
bool WinbindMachineDomain(std::string*) { return false; }
bool WinbindUserSid(const std::string&, const std::string&, std::string*) { return false; }

#endif

}  // namespace qrn::platform
