// The active check observer of each thread.
#include "security/common/qrnauthorize/check_observer.h"

namespace qrn {

std::atomic<int> live_check_observers{0};

namespace {
thread_local CheckObserver* active_observer = nullptr;
}  // namespace

CheckObserver* ThreadCheckObserver() { return active_observer; }

// The count goes up before this thread's observer is set and down after it
// is reset, so the thread always finds its own observer.
ScopedCheckObserver::ScopedCheckObserver(CheckObserver* observer) : previous_(active_observer) {
  live_check_observers.fetch_add(1, std::memory_order_relaxed);
  active_observer = observer;
}

ScopedCheckObserver::~ScopedCheckObserver() {
  active_observer = previous_;
  live_check_observers.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace qrn
