#include "server/metrics.h"

#include <cstdio>


namespace qrn::secd {

namespace {

constexpr std::array<const char*, kRequestKinds> kKindNames = {
    "combined", "documents", "groups", "audit", "health", "other"};
constexpr std::array<const char*, 3> kClassNames = {"2xx", "4xx", "5xx"};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether a query text, percent-decoded the way the request catalogue
// decodes it ("+" a blank, "%" without two hex digits as it is), equals
// `lower` (lower case ASCII) without regard to case.
bool DecodedIs(std::string_view encoded, std::string_view lower) {
  size_t at = 0;
  for (size_t i = 0; i < encoded.size(); ++i, ++at) {
    char c = encoded[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%' && i + 2 < encoded.size() && HexDigit(encoded[i + 1]) >= 0 &&
               HexDigit(encoded[i + 2]) >= 0) {
      c = static_cast<char>(HexDigit(encoded[i + 1]) * 16 + HexDigit(encoded[i + 2]));
      i += 2;
    }
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (at >= lower.size() || c != lower[at]) return false;
  }
  return at == lower.size();
}

// FNV-1a over the text: 32 bits, so the gauge is exact as a float.
uint32_t TextNumber(std::string_view text) {
  uint32_t sum = 2166136261u;
  for (unsigned char c : text) sum = (sum ^ c) * 16777619u;
  return sum;
}

void Line(std::string* out, const char* name, const std::string& labels, uint64_t value) {
  *out += name;
  *out += labels;
  *out += ' ';
  *out += std::to_string(value);
  *out += '\n';
}

std::string Seconds(uint64_t microseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(microseconds) / 1e6);
  return text;
}

}  // namespace

RequestKind ClassifyQuery(std::string_view query) {
  if (query.empty()) return RequestKind::kOther;
  // Looks at the texts as sent, decoding while comparing: no allocation on
  // the answer path. The first value of each name counts, as in the request
  // catalogue.
  std::string_view object, operation;
  bool object_seen = false, operation_seen = false;
  while (!query.empty() && !(object_seen && operation_seen)) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    const std::string_view key = pair.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    if (!object_seen && DecodedIs(key, "object")) {
      object = value;
      object_seen = true;
    } else if (!operation_seen && DecodedIs(key, "operation")) {
      operation = value;
      operation_seen = true;
    }
  }
  const auto is = [](std::string_view encoded, std::string_view plain) {
    return DecodedIs(encoded, plain);
  };
  if (is(object, "mvtsecdata") && is(operation, "get")) return RequestKind::kCombined;
  if (is(object, "datetime") || (is(object, "appl") && is(operation, "getall")) ||
      (is(object, "role") && is(operation, "get")) || (is(object, "cache") && is(operation, "get")))
    return RequestKind::kDocuments;
  if (((is(object, "usergroups") || is(object, "allusergroups")) && is(operation, "get")) ||
      (is(object, "serverlocalgroups") && is(operation, "append")))
    return RequestKind::kGroups;
  if (is(object, "log") && is(operation, "add")) return RequestKind::kAudit;
  return RequestKind::kOther;
}

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

void Metrics::CountStatus(int status) {
  const int hundreds = status / 100;
  const int index = hundreds == 2 ? 0 : hundreds == 4 ? 1 : hundreds == 5 ? 2 : -1;
  if (index >= 0) classes_[static_cast<size_t>(index)].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::Record(RequestKind kind, int status, bool error_page, std::chrono::nanoseconds took) {
  requests_[static_cast<size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
  CountStatus(status);
  if (error_page) error_pages_.fetch_add(1, std::memory_order_relaxed);
  const uint64_t ns = took.count() < 0 ? 0 : static_cast<uint64_t>(took.count());
  size_t bucket = 0;
  while (bucket < kLatencyBucketsUs.size() && ns > kLatencyBucketsUs[bucket] * 1000) ++bucket;
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  latency_sum_ns_.fetch_add(ns, std::memory_order_relaxed);
}

void Metrics::RecordRefused(int status) { CountStatus(status); }

std::string Metrics::Render() const {
  std::string out;
  out.reserve(4096);

  out += "# HELP qrnsecd_requests_total Requests answered, by kind.\n"
         "# TYPE qrnsecd_requests_total counter\n";
  for (size_t i = 0; i < kRequestKinds; ++i)
    Line(&out, "qrnsecd_requests_total", std::string("{kind=\"") + kKindNames[i] + "\"}",
         requests_[i].load(std::memory_order_relaxed));

  out += "# HELP qrnsecd_responses_total Answers by status class, refused requests included.\n"
         "# TYPE qrnsecd_responses_total counter\n";
  for (size_t i = 0; i < classes_.size(); ++i)
    Line(&out, "qrnsecd_responses_total", std::string("{class=\"") + kClassNames[i] + "\"}",
         classes_[i].load(std::memory_order_relaxed));

  out += "# HELP qrnsecd_error_pages_total Security page answers that are error pages.\n"
         "# TYPE qrnsecd_error_pages_total counter\n";
  Line(&out, "qrnsecd_error_pages_total", "", error_pages_.load(std::memory_order_relaxed));

  out += "# HELP qrnsecd_request_duration_seconds Time from a complete head to a ready answer.\n"
         "# TYPE qrnsecd_request_duration_seconds histogram\n";
  uint64_t cumulative = 0;
  for (size_t i = 0; i < buckets_.size(); ++i) {
    cumulative += buckets_[i].load(std::memory_order_relaxed);
    const std::string le = i < kLatencyBucketsUs.size() ? Seconds(kLatencyBucketsUs[i]) : "+Inf";
    Line(&out, "qrnsecd_request_duration_seconds_bucket", "{le=\"" + le + "\"}", cumulative);
  }
  char sum[48];
  std::snprintf(sum, sizeof sum, "%.9f",
                static_cast<double>(latency_sum_ns_.load(std::memory_order_relaxed)) / 1e9);
  out += std::string("qrnsecd_request_duration_seconds_sum ") + sum + "\n";
  Line(&out, "qrnsecd_request_duration_seconds_count", "", cumulative);

  if (sources_.timestamp) {
    const std::string timestamp = sources_.timestamp();
    out += "# HELP qrnsecd_data_version A number derived from the data timestamp.\n"
           "# TYPE qrnsecd_data_version gauge\n";
    Line(&out, "qrnsecd_data_version", "", TextNumber(timestamp));
    out += "# HELP qrnsecd_data_info The data timestamp served.\n"
           "# TYPE qrnsecd_data_info gauge\n";
    Line(&out, "qrnsecd_data_info", "{timestamp=\"" + EscapeLabelValue(timestamp) + "\"}", 1);
  }
  if (sources_.servable) {
    std::string why;
    out += "# HELP qrnsecd_data_current 1 when the instance serves the current data.\n"
           "# TYPE qrnsecd_data_current gauge\n";
    Line(&out, "qrnsecd_data_current", "", sources_.servable(&why) ? 1 : 0);
  }

  const AuditQueueFigures audit = sources_.audit_queue ? sources_.audit_queue() : AuditQueueFigures{};
  out += "# HELP qrnsecd_audit_queued Audit records waiting to be written.\n"
         "# TYPE qrnsecd_audit_queued gauge\n";
  Line(&out, "qrnsecd_audit_queued", "", audit.queued);
  out += "# HELP qrnsecd_audit_dropped_total Audit records lost while the writer was down.\n"
         "# TYPE qrnsecd_audit_dropped_total counter\n";
  Line(&out, "qrnsecd_audit_dropped_total", "", audit.dropped);
  return out;
}

}  // namespace qrn::secd
