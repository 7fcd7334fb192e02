#include "server/audit_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/log_text.h"
#include "platform/text.h"
#include "server/pg_connection.h"

namespace qrn::secd {

namespace {

constexpr auto kRetryDelay = std::chrono::seconds(1);

// The database takes UTF-8 without NUL: anything else becomes U+FFFD, so a
// hostile field cannot make its whole batch fail again and again.
std::string DatabaseText(const std::string& text) {
  std::string out = platform::Utf16ToUtf8(platform::Utf8ToUtf16(text));
  for (size_t at = out.find('\0'); at != std::string::npos; at = out.find('\0', at))
    out.replace(at, 1, "\xEF\xBF\xBD");
  return out;
}

// "2026-12-01 10:00:00.123456+00"
std::string TimestampText(std::chrono::system_clock::time_point when) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
  const time_t seconds = static_cast<time_t>(micros / 1000000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d+00", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(micros % 1000000));
  return text;
}

size_t RecordBytes(const AuditRecord& r) {
  return r.user.size() + r.action.size() + r.status.size() + r.computer.size();
}

}  // namespace

std::string DefaultInstanceName(int port) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::snprintf(host, sizeof host, "localhost");
  return std::string(host) + ":" + std::to_string(port);
}

AuditWriter::AuditWriter(std::string url, size_t capacity, size_t max_bytes)
    : url_(std::move(url)),
      capacity_(capacity),
      max_bytes_(max_bytes),
      db_(std::make_unique<PgConnection>()) {}

AuditWriter::~AuditWriter() { Stop(std::chrono::seconds(5)); }

void AuditWriter::Start(std::string instance) {
  if (thread_.joinable()) return;
  instance_ = DatabaseText(instance);
  thread_ = std::thread([this] { Run(); });
}

void AuditWriter::Add(AuditRecord record) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t bytes = RecordBytes(record);
    if (stopping_ || queue_.size() >= capacity_ || queued_bytes_ + bytes > max_bytes_) {
      ++dropped_;
      return;
    }
    queued_bytes_ += bytes;
    queue_.push_back(std::move(record));
  }
  wake_.notify_one();
}

void AuditWriter::Stop(std::chrono::milliseconds flush_limit) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    stop_deadline_ = std::chrono::steady_clock::now() + flush_limit;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queue_.empty()) {
    dropped_ += queue_.size();
    std::fprintf(stderr, "qrnsecd: %zu audit records not written at the stop\n", queue_.size());
    queue_.clear();
    queued_bytes_ = 0;
  }
}

void AuditWriter::RemoveFirst(size_t n) {
  for (size_t i = 0; i < n; ++i) queued_bytes_ -= RecordBytes(queue_[i]);
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
}

size_t AuditWriter::Queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}
uint64_t AuditWriter::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}
uint64_t AuditWriter::Written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

bool AuditWriter::WriteBatch(size_t n, std::string* error) {
  std::vector<std::string> times, users, actions, statuses, computers;
  {
    // Records are only ever removed by this thread, so the first n stay put.
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < n; ++i) {
      const AuditRecord& r = queue_[i];
      times.push_back(TimestampText(r.received));
      users.push_back(DatabaseText(r.user));
      actions.push_back(DatabaseText(r.action));
      statuses.push_back(DatabaseText(r.status));
      computers.push_back(DatabaseText(r.computer));
    }
  }
  if (!db_->Query("INSERT INTO audit_records"
                  " (received_at, instance, user_name, action, status, computer)"
                  " SELECT r, $2, u, a, s, c FROM unnest($1::timestamptz[], $3::text[],"
                  " $4::text[], $5::text[], $6::text[]) AS t(r, u, a, s, c)",
                  {ArrayLiteral(times), instance_, ArrayLiteral(users),
                   ArrayLiteral(actions), ArrayLiteral(statuses), ArrayLiteral(computers)},
                  nullptr, error))
    return false;
  std::lock_guard<std::mutex> lock(mutex_);
  RemoveFirst(n);
  written_ += n;
  return true;
}

void AuditWriter::Run() {
  for (;;) {
    size_t n = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty() ||
          (stopping_ && std::chrono::steady_clock::now() >= stop_deadline_))
        return;
      n = std::min(queue_.size(), kBatchSize);
    }
    std::string error;
    const bool ok = (db_->Good() || db_->Connect(url_, &error)) && WriteBatch(n, &error);
    if (ok) {
      if (!reported_.empty()) {
        std::fprintf(stderr, "qrnsecd: audit records are written again\n");
        reported_.clear();
      }
      continue;
    }
    if (error != reported_) {
      std::fprintf(stderr, "qrnsecd: audit records wait in the queue: %s\n",
                   platform::EscapeLogText(error).c_str());
      reported_ = error;
    }
    // A statement refused on a sound connection is not the database being
    // down: that batch would fail forever, so it is dropped and counted.
    if (db_->Good()) {
      std::lock_guard<std::mutex> lock(mutex_);
      RemoveFirst(n);
      dropped_ += n;
      continue;
    }
    db_->Close();
    std::unique_lock<std::mutex> lock(mutex_);
    const auto until = stopping_ ? std::min(stop_deadline_, std::chrono::steady_clock::now() + kRetryDelay)
                                 : std::chrono::steady_clock::now() + kRetryDelay;
    wake_.wait_until(lock, until, [this] { return stopping_ && std::chrono::steady_clock::now() >= stop_deadline_; });
    if (stopping_ && std::chrono::steady_clock::now() >= stop_deadline_) return;
  }
}

}  // namespace qrn::secd
