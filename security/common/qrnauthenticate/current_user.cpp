// The current operating-system user of the calling thread, as domain and
// user name: CQRNAuthenticate::GetCurrentUserInfo and GetCurrentContext.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame/config.h"
#include "platform/accounts.h"
#include "platform/os.h"
#include "platform/text.h"
#include "platform/winbind.h"
#include "qrnauth/com.h"
#include "qrnauth/novell.h"
#include "qrnauth/qrnauthenticate.h"

extern "C" {
const CLSID CLSID_NovellUserInfo = {
    0x5B0D3C21, 0x7E4A, 0x4F19, {0x9C, 0x62, 0x1A, 0x8E, 0x3D, 0x7B, 0x4C, 0x90}};
const IID IID_INovellUserInfo = {
    0x5B0D3C22, 0x7E4A, 0x4F19, {0x9C, 0x62, 0x1A, 0x8E, 0x3D, 0x7B, 0x4C, 0x90}};
}

namespace qrn {

namespace {

constexpr size_t kNameBufferSize = 256;
constexpr char kUnknownUser[] = "<unknown>";
constexpr char kGetUserNameDebugLine[] = "~~~~ GetUserName return: 0x%x\r\n";
// Set to anything non-empty to get the debugger-output lines on stderr.
constexpr char kDebugVariable[] = "QRNAUTH_DEBUG";

struct UserTexts {
  std::string domain;
  std::string user;
};

std::string FromBstr(BSTR text) {
  return text == nullptr ? std::string()
                         : platform::Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

// Novell branch: the NovellUserInfo component names the user and the domain.
// A component that cannot be created leaves both texts empty.
void NovellUser(UserTexts* texts) {
  INovellUserInfo* info = nullptr;
  if (FAILED(CoCreateInstance(CLSID_NovellUserInfo, nullptr, CLSCTX_ALL, IID_INovellUserInfo,
                              reinterpret_cast<void**>(&info))) ||
      info == nullptr)
    return;
  struct Release {
    INovellUserInfo* p;
    ~Release() { p->Release(); }
  } release{info};
  BSTR user = nullptr;
  BSTR domain = nullptr;
  info->GetUserName(&user);
  info->GetDomainName(&domain);
  texts->user = FromBstr(user);
  texts->domain = FromBstr(domain);
  SysFreeString(user);
  SysFreeString(domain);
}

// Token route: the account of the thread's effective uid. A domain account's
// NSS name carries its domain ("SALES\bob"); a local account belongs to this
// computer.
bool ThreadAccount(UserTexts* texts) {
  platform::Account account;
  if (!platform::AccountByUid(platform::ThreadEffectiveUid(), &account)) return false;
  const size_t separator = account.name.find(platform::WinbindSeparator());
  if (separator != std::string::npos) {
    texts->domain = account.name.substr(0, separator);
    texts->user = account.name.substr(separator + 1);
  } else {
    std::string computer;
    if (platform::ComputerName(&computer)) texts->domain = computer;
    texts->user = account.name;
  }
  return true;
}

// Workstation route: there is no logged-on-user service to ask, so only the
// process's login name is found, with no domain (the caller then answers
// false, as for a workstation that gives no answer).
void WorkstationUser(UserTexts* texts) {
  texts->domain.clear();
  if (platform::LoginName(&texts->user)) return;
  const int error = errno;
  texts->user = kUnknownUser;
  if (!platform::EnvironmentValue(kDebugVariable).empty()) {
    char line[64];
    std::snprintf(line, sizeof(line), kGetUserNameDebugLine, static_cast<unsigned>(error));
    platform::WriteStderr(line);
  }
}

void CopyOut(char* buffer, const std::string& text) {
  const std::string_view cut = platform::CutAtCharBoundary(text, kNameBufferSize - 1);
  std::memcpy(buffer, cut.data(), cut.size());
  buffer[cut.size()] = '\0';
}

}  // namespace

}  // namespace qrn

bool CQRNAuthenticate::GetCurrentUserInfo(char* domain, char* user) {
  try {
    if (domain == nullptr || user == nullptr) return false;
    qrn::UserTexts texts;
    bool novell = false;
    qrn::MvtIsNovellClient(&novell);
    if (novell) {
      qrn::NovellUser(&texts);
    } else if (!qrn::ThreadAccount(&texts)) {
      qrn::WorkstationUser(&texts);
    }
    if (texts.domain.empty() || texts.user.empty()) return false;
    qrn::CopyOut(domain, texts.domain);
    qrn::CopyOut(user, texts.user);
    return true;
  } catch (...) {
    return false;
  }
}

HRESULT CQRNAuthenticate::GetCurrentContext(char* domain, char* user) {
  try {
    if (domain != nullptr) std::memset(domain, 0, qrn::kNameBufferSize);
    if (user != nullptr) std::memset(user, 0, qrn::kNameBufferSize);
    return GetCurrentUserInfo(domain, user) ? S_OK : E_FAIL;
  } catch (...) {
    return E_FAIL;
  }
}
