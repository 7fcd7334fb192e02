// The role-cache timer without a thread or a message queue: the deadline is
// kept in the authorizer and checked at its next role lookup. A tick only
// sets g_bDumpRoleCache; the lookup that sees it empties the per-user maps.
#include <algorithm>

#include "frame/config.h"
#include "frame/diagnostic_log.h"
#include "platform/os.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/process_state.h"

namespace {
constexpr uint64_t kMillisPerMinute = 60000;
// The platform's shortest timer interval; shorter requests get this one.
constexpr uint64_t kMinimumIntervalMs = 10;
constexpr uint32_t kTimerMessage = 0x0113;
constexpr int32_t kTickLine = 4308;
constexpr char kTickName[] = "########### g_bDumpRoleCache Timer  ################";
}  // namespace

void CQRNAuthorize::ServiceRoleCacheTimer() {
  const uint64_t now = qrn::platform::CoarseMillis();
  if (timerId == 0) {
    qrn::ReadRoleCacheAge();
    qrn::ReadGroupBackupAge();
    timerIntervalMs =
        std::max<uint64_t>(uint64_t{qrn::RoleCacheAge()} * kMillisPerMinute, kMinimumIntervalMs);
    timerDeadlineMs = now + timerIntervalMs;
    timerId = qrn::NextTimerId();
    return;
  }
  if (now < timerDeadlineMs) return;
  // Ticks that fell due while nobody looked are one tick, as with a timer
  // message that waits in a queue.
  timerDeadlineMs = now + timerIntervalMs;
  TimerProc(nullptr, kTimerMessage, timerId, static_cast<uint32_t>(now));
}

void CQRNAuthorize::TimerProc(void* /*window*/, unsigned int /*message*/, uintptr_t /*event_id*/,
                              uint32_t /*time*/) {
  qrn::WriteDiagnosticLine("", qrn::kAuthorizeSource, kTickLine, 0, kTickName, "", 0);
  qrn::g_bDumpRoleCache.store(true, std::memory_order_relaxed);
}
