#include "server/pg_store.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "platform/log_text.h"
#include "server/pg_connection.h"
#include "server/pg_data.h"
#include "server/pg_schema.h"

namespace qrn::secd {

namespace {

constexpr char kChannel[] = "qrnsecd_data";
// The wait before connecting again after the database went away.
constexpr auto kReconnectDelay = std::chrono::seconds(1);

}  // namespace

PgStore::PgStore(std::string url, std::chrono::milliseconds poll_interval)
    : url_(std::move(url)), poll_(poll_interval), db_(std::make_unique<PgConnection>()) {}

PgStore::~PgStore() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (wake_fd_[1] >= 0) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = write(wake_fd_[1], &byte, 1);
  }
  if (watcher_.joinable()) watcher_.join();
  for (int fd : wake_fd_)
    if (fd >= 0) close(fd);
}

void PgStore::Report(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (message == reported_) return;
  reported_ = message;
  if (!message.empty())
    std::fprintf(stderr, "qrnsecd: %s\n", platform::EscapeLogText(message).c_str());
}

bool PgStore::Connect(std::string* error) {
  return db_->Connect(url_, error) && CheckSchema(*db_, error) &&
         db_->Exec(std::string("LISTEN ") + kChannel, error);
}

bool PgStore::Refresh(std::string* error) {
  PgRows rows;
  if (!db_->Query("SELECT version FROM data_state", {}, &rows, error)) return false;
  if (rows.rows.size() != 1) {
    *error = "data_state must hold exactly one row";
    return false;
  }
  const long long latest = std::stoll(rows.Text(0, 0));
  if (latest == served_version_.load()) {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_.clear();
    return true;
  }
  if (latest == failed_version_) {  // reported; wait for the next version
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = failed_fault_;
    return true;
  }

  std::string text;
  long long version = 0;
  if (!InTransaction(*db_, "ISOLATION LEVEL REPEATABLE READ READ ONLY", error,
                     [&] { return ReadDatabaseData(*db_, &text, &version, error); }))
    return false;
  if (version == served_version_.load()) return true;
  auto snapshot = std::make_shared<Snapshot>();
  std::string fault;
  if (!ParseSecurityData(text, "the database (version " + std::to_string(version) + ")",
                         &snapshot->data, &fault)) {
    failed_version_ = version;
    failed_fault_ = fault + "; still serving the last good data";
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = failed_fault_;
    return true;
  }
  snapshot->documents = RenderDocuments(snapshot->data, snapshot->data.timestamp);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = std::move(snapshot);
    fault_.clear();
    served_version_ = version;
  }
  std::fprintf(stderr, "qrnsecd: database data version %lld in service, timestamp %s\n", version,
               platform::EscapeLogText(current_->documents.timestamp).c_str());
  return true;
}

bool PgStore::Load(std::string* error) {
  if (!Connect(error) || !Refresh(error)) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!current_) {
      *error = fault_;
      return false;
    }
  }
  if (pipe2(wake_fd_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "cannot make a pipe";
    return false;
  }
  watcher_ = std::thread([this] { Watch(); });
  return true;
}

void PgStore::Watch() {
  for (;;) {
    std::string error;
    bool ok = db_->Good() || Connect(&error);
    if (ok) {
      ok = Refresh(&error);
    }
    if (!ok) {
      db_->Close();
      const std::string fault = "database out of reach (" + error +
                                "); still serving data version " +
                                std::to_string(served_version_.load());
      {
        std::lock_guard<std::mutex> lock(mutex_);
        fault_ = fault;
      }
      Report(fault);
      std::unique_lock<std::mutex> lock(mutex_);
      if (wake_.wait_for(lock, kReconnectDelay, [this] { return stopping_; })) return;
      continue;
    }
    {
      std::string fault;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        fault = fault_;
      }
      Report(fault);
    }
    // A notice that came in with the last answer is already buffered and
    // would not wake poll().
    std::vector<std::string> channels;
    if (!db_->TakeNotifications(&channels)) {
      db_->Close();
      continue;
    }
    if (!channels.empty()) continue;
    // Until a change notice, the poll interval, or a stop.
    pollfd fds[2] = {{db_->Socket(), POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
    const int n = poll(fds, 2, static_cast<int>(poll_.count()));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    if (n > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) &&
        !db_->TakeNotifications(&channels))
      db_->Close();
  }
}

std::shared_ptr<const Snapshot> PgStore::Current() {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

bool PgStore::Servable(std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current_) {
    *why = "no data loaded from the database";
    return false;
  }
  if (!fault_.empty()) {
    *why = fault_;
    return false;
  }
  return true;
}

}  // namespace qrn::secd
