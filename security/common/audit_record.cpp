// The audit record and its post to the security server.
#include "security/common/audit_record.h"

#include <cstring>
#include <string>

#include "frame/config.h"
#include "platform/os.h"
#include "platform/text.h"
#include "security/common/qrncache.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace {

constexpr char kUnknownComputer[] = "Unknown";

template <size_t N>
void CopyField(char (&field)[N], std::string_view text) {
  const std::string_view cut = qrn::platform::CutAtCharBoundary(text, N - 1);
  std::memcpy(field, cut.data(), cut.size());
  field[cut.size()] = '\0';
}

}  // namespace

CQRNLog::CQRNLog() : user{}, action{}, status{}, serverUrl{} {
  uint32_t size = sizeof serverUrl;
  if (FAILED(qrn::GetAuthUrl(serverUrl, &size))) serverUrl[0] = '\0';
}

CQRNLog::~CQRNLog() = default;

void CQRNLog::SetUser(std::string_view text) { CopyField(user, text); }
void CQRNLog::SetAction(std::string_view text) { CopyField(action, text); }
void CQRNLog::SetStatus(std::string_view text) { CopyField(status, text); }

void CQRNLog::Write() {
  try {
    int16_t flag = 0;
    if (FAILED(qrn::QrnGetCacheFlag(&flag, nullptr)) || flag == -1) return;
    Send();
  } catch (...) {
    // The audited decision never depends on its record.
  }
}

bool CQRNLog::Send() {
  try {
    std::string computer;
    if (!qrn::platform::ComputerName(&computer) || computer.empty()) computer = kUnknownComputer;
    // The fields are terminated texts; strnlen guards a field a writer
    // filled to the brim.
    const std::string request =
        qrn::AuditLogRequest(std::string_view(serverUrl, strnlen(serverUrl, sizeof serverUrl)),
                             std::string_view(user, strnlen(user, sizeof user)),
                             std::string_view(action, strnlen(action, sizeof action)),
                             std::string_view(status, strnlen(status, sizeof status)), computer);
    std::string page;
    (void)qrn::GetWebPage(request, page, true);
  } catch (...) {
  }
  return true;
}
