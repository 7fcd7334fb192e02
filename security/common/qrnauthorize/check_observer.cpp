// The active check observer of each thread.
#include "security/common/qrnauthorize/check_observer.h"

namespace qrn {

namespace {
thread_local CheckObserver* active_observer = nullptr;
}  // namespace

CheckObserver* ActiveCheckObserver() { return active_observer; }

ScopedCheckObserver::ScopedCheckObserver(CheckObserver* observer) : previous_(active_observer) {
  active_observer = observer;
}

ScopedCheckObserver::~ScopedCheckObserver() { active_observer = previous_; }

}  // namespace qrn
