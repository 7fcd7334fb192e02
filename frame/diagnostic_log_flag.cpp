// MvtLogEnabled: asked before every diagnostic line, so it must be cheap.
//
// "Mvtlog" is looked up again whenever the machine hive may have changed; the
// answer is kept together with the hive generation it was read under, in one
// atomic word, so a call with an unchanged hive is two atomic loads and makes
// no system call. A change written through the registry module, or seen on
// disk by its change check, is therefore picked up by the very next call.
#include <atomic>

#include "frame/config.h"
#include "frame/diagnostic_log.h"
#include "platform/os.h"

namespace qrn {

namespace {

constexpr char kMvtlogValue[] = "Mvtlog";

// (generation + 1) << 1 | answer; 0 before the first read.
std::atomic<uint64_t> mvtlog_cache{0};

}  // namespace

bool MvtLogEnabled() { return MvtLogEnabled(platform::CoarseMillis()); }

bool MvtLogEnabled(uint64_t coarse_now_ms) {
  const uint64_t generation =
      platform::HiveGeneration(platform::RegHive::LocalMachine, coarse_now_ms);
  const uint64_t tag = (generation + 1) << 1;
  const uint64_t cached = mvtlog_cache.load(std::memory_order_acquire);
  if ((cached & ~uint64_t{1}) == tag) return (cached & 1) != 0;

  uint32_t value = 0;
  const bool enabled =
      ReadDwordValue(platform::RegHive::LocalMachine, kConfigKey, kMvtlogValue, &value) &&
      value == 1;
  mvtlog_cache.store(tag | (enabled ? 1 : 0), std::memory_order_release);
  return enabled;
}

}  // namespace qrn
