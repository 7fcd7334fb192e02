#include "security/common/qrnauthorize/process_state.h"

#include "frame/diagnostic_log.h"

namespace qrn {

namespace {
constexpr char kSyncGroupInit[] = "syncGroup.Init";
constexpr int32_t kSyncGroupInitLine = 1489;
std::atomic<uint32_t> last_timer_id{0};
}  // namespace

NamedLock syncGroup;
std::atomic<bool> g_bDumpRoleCache{false};

void NamedLock::Create() {
  std::call_once(once_, [this] {
    created_.store(true, std::memory_order_release);
    WriteDiagnosticLine("", kAuthorizeSource, kSyncGroupInitLine, 0, kSyncGroupInit, kSyncGroupInit,
                        0);
  });
}

void NamedLock::Enter() {
  section_.lock();
  inside_.fetch_add(1, std::memory_order_relaxed);
}

void NamedLock::Leave() {
  inside_.fetch_sub(1, std::memory_order_relaxed);
  section_.unlock();
}

uint32_t NextTimerId() {
  uint32_t id = last_timer_id.fetch_add(1, std::memory_order_relaxed) + 1;
  if (id == 0) id = last_timer_id.fetch_add(1, std::memory_order_relaxed) + 1;
  return id;
}

}  // namespace qrn
