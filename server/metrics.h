// qrnsecd's counters, served at /metrics in the Prometheus text exposition
// format (version 0.0.4). Counting is a few relaxed atomic additions per
// request, so the answer path never waits for a lock or for a scrape; a
// scrape reads the counters one by one and may see a request counted in one
// family and not yet in the next.
//
// Families (all prefixed qrnsecd_):
//   requests_total{kind}            answered requests: combined, documents,
//                                   groups, audit, health, other
//   responses_total{class}          answers by status class: 2xx, 4xx, 5xx
//                                   (the layer's own refusals included)
//   error_pages_total               security-page answers a client reads as an
//                                   error page (an unknown request)
//   request_duration_seconds        histogram of the time from a complete
//                                   head to a ready answer (writing excluded)
//   data_version                    a number derived from the data timestamp:
//                                   instances serving the same data show the same
//   data_info{timestamp}            1, with the timestamp as a label
//   data_current                    1 when the instance serves the current data
//   audit_queued, audit_dropped_total  the audit writer's backlog and losses
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qrn::secd {

enum class RequestKind { kCombined, kDocuments, kGroups, kAudit, kHealth, kOther };
constexpr size_t kRequestKinds = 6;

// The kind of a security-page request from its query text (without "?"),
// matched the way the request catalogue matches it.
RequestKind ClassifyQuery(std::string_view query);

// The audit writer's figures; a writer that never queues reports zeros.
struct AuditQueueFigures {
  uint64_t queued = 0;
  uint64_t dropped = 0;
};

// Upper bounds of the latency buckets, in microseconds (+Inf follows).
inline constexpr std::array<uint64_t, 12> kLatencyBucketsUs = {
    50, 100, 250, 500, 1000, 2500, 5000, 10000, 25000, 100000, 500000, 2000000};

class Metrics {
 public:
  // Read at scrape time only. Any of them may be empty.
  struct Sources {
    std::function<std::string()> timestamp;          // the data's timestamp text
    std::function<bool(std::string*)> servable;      // as for /health
    std::function<AuditQueueFigures()> audit_queue;  // empty: zeros
  };

  explicit Metrics(Sources sources) : sources_(std::move(sources)) {}
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // One answered request. Safe from any thread.
  void Record(RequestKind kind, int status, bool error_page, std::chrono::nanoseconds took);
  // A head the HTTP layer refused itself (400, 408, 414, 431, 505).
  void RecordRefused(int status);

  // The exposition text.
  std::string Render() const;

 private:
  void CountStatus(int status);

  Sources sources_;
  std::array<std::atomic<uint64_t>, kRequestKinds> requests_{};
  std::array<std::atomic<uint64_t>, 3> classes_{};  // 2xx, 4xx, 5xx
  std::atomic<uint64_t> error_pages_{0};
  std::array<std::atomic<uint64_t>, kLatencyBucketsUs.size() + 1> buckets_{};  // not cumulative
  std::atomic<uint64_t> latency_sum_ns_{0};
};

// A label value escaped for the exposition format: backslash, double quote
// and line feed get a backslash.
std::string EscapeLabelValue(std::string_view value);

// The content type of the exposition text.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace qrn::secd
