// The security data served from a PostgreSQL database. One snapshot is
// cached per data version: a watcher thread LISTENs for the database's
// change notice and, as a fallback, asks for the version at every poll
// interval; a new version is read in one REPEATABLE READ transaction, so
// the data and its timestamp always come from the same commit, checked by
// the data file's parser, rendered once, and published. Requests never wait
// for the database: while it is out of reach the last snapshot stays in
// service and Servable() says no.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/store.h"

namespace qrn::secd {

class PgConnection;

class PgStore : public Store {
 public:
  explicit PgStore(std::string url,
                   std::chrono::milliseconds poll_interval = std::chrono::seconds(1));
  ~PgStore() override;  // stops the watcher
  PgStore(const PgStore&) = delete;
  PgStore& operator=(const PgStore&) = delete;

  // Connects, checks the schema and loads the first snapshot, then starts
  // the watcher. False with *error when any of that fails.
  bool Load(std::string* error);

  std::shared_ptr<const Snapshot> Current() override;
  // Connected, and the snapshot in service is the database's current version.
  bool Servable(std::string* why) override;

  // The data version in service (data_state.version).
  long long version() const { return served_version_.load(); }

 private:
  bool Connect(std::string* error);
  // Reads the version; loads and publishes a new snapshot when it moved.
  bool Refresh(std::string* error);
  void Watch();
  void Report(const std::string& message);

  const std::string url_;
  const std::chrono::milliseconds poll_;
  std::unique_ptr<PgConnection> db_;  // the watcher's (Load's before it starts)

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::shared_ptr<const Snapshot> current_;
  std::string fault_;  // why the snapshot in service is not the current one; "" when it is
  std::string reported_;  // last fault written to stderr, so each is reported once

  std::atomic<long long> served_version_{0};
  long long failed_version_ = -1;  // a version that did not pass the checks
  std::string failed_fault_;       // and why
  int wake_fd_[2] = {-1, -1};      // wakes the watcher's poll() for a stop
  std::thread watcher_;
};

}  // namespace qrn::secd
