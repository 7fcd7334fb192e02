// Audit records into the database: the request thread only queues a record;
// a background writer inserts the queue in batches (one statement per
// batch). A record leaves the queue only once its batch is committed, so
// none is lost while the database is up; while it is down the queue holds up
// to `capacity` records of at most `max_bytes` in all, and every record
// beyond that is counted as dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace qrn::secd {

class PgConnection;

struct AuditRecord {
  std::chrono::system_clock::time_point received;
  std::string user, action, status, computer;
};

class AuditWriter {
 public:
  static constexpr size_t kDefaultCapacity = 100000;
  // The fields' bytes the queue holds at most: a request head may be up to
  // 64 KiB, so the record count alone would not bound the memory.
  static constexpr size_t kDefaultMaxBytes = size_t{64} << 20;
  static constexpr size_t kBatchSize = 500;

  explicit AuditWriter(std::string url, size_t capacity = kDefaultCapacity,
                       size_t max_bytes = kDefaultMaxBytes);
  ~AuditWriter();  // Stop(std::chrono::seconds(5))
  AuditWriter(const AuditWriter&) = delete;
  AuditWriter& operator=(const AuditWriter&) = delete;

  // Starts the writer thread; each record names `instance` as the one that
  // received it. Records added before are kept.
  void Start(std::string instance);
  // Queues one record; never waits for the database.
  void Add(AuditRecord record);
  // Writes what is queued for at most flush_limit, then stops the writer;
  // records still queued then are counted as dropped.
  void Stop(std::chrono::milliseconds flush_limit);

  size_t Queued() const;
  uint64_t Dropped() const;
  uint64_t Written() const;
  const std::string& instance() const { return instance_; }

 private:
  void Run();
  // Inserts the first n queued records; false when the database failed.
  bool WriteBatch(size_t n, std::string* error);
  // Removes the first n queued records; mutex_ held.
  void RemoveFirst(size_t n);

  const std::string url_;
  std::string instance_;  // set once, before the writer thread starts
  const size_t capacity_, max_bytes_;
  std::unique_ptr<PgConnection> db_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<AuditRecord> queue_;
  size_t queued_bytes_ = 0;
  uint64_t dropped_ = 0, written_ = 0;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point stop_deadline_;
  std::string reported_;
  std::thread thread_;
};

// The instance name when none is given: the host name and the port.
std::string DefaultInstanceName(int port);

}  // namespace qrn::secd
