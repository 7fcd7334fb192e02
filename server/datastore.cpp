#include "server/datastore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace qrn::secd {

namespace {

long long Nanoseconds(const timespec& t) {
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Reads to the end, or fails with EFBIG once more than `limit` bytes came
// (the file may grow while it is read).
bool ReadWhole(int fd, size_t limit, std::string* out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (out->size() + static_cast<size_t>(n) > limit) {
      errno = EFBIG;
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

std::string DerivedTimestamp(long long mtime_ns, long long size, std::string_view content) {
  // FNV-1a: cheap, and enough to tell two versions of one file apart.
  uint32_t sum = 2166136261u;
  for (unsigned char c : content) sum = (sum ^ c) * 16777619u;
  const time_t seconds = static_cast<time_t>(mtime_ns / 1000000000LL);
  tm utc{};
  gmtime_r(&seconds, &utc);
  // Shaped like a real server's date ("12/01/2026 10:00:00 AM"), so clients
  // meet blanks, "/", "+" and "#" in every test and in the demo.
  const int hour12 = utc.tm_hour % 12 == 0 ? 12 : utc.tm_hour % 12;
  char text[128];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %d:%02d:%02d %s +%09lld #%lld/%08x",
                utc.tm_mon + 1, utc.tm_mday, utc.tm_year + 1900, hour12, utc.tm_min, utc.tm_sec,
                utc.tm_hour < 12 ? "AM" : "PM", mtime_ns % 1000000000LL, size, sum);
  return text;
}

DataStore::DataStore(std::string path) : path_(std::move(path)) {}

bool DataStore::StatFile(FileId* id) const {
  struct stat st {};
  if (stat(path_.c_str(), &st) != 0) return false;
  *id = {st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
  return true;
}

namespace {

// Reads the data file whole into *text, with *st describing what was read.
bool ReadRegularFile(const std::string& path, std::string* text, struct stat* st,
                     std::string* error) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer (the store's lock
  // is held). Only a regular file of at most kMaxDataFileSize is read.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  std::string refused;
  if (fstat(fd, st) != 0)
    refused = ": cannot inspect: " + std::string(std::strerror(errno));
  else if (!S_ISREG(st->st_mode))
    refused = ": not a regular file";
  else if (static_cast<unsigned long long>(st->st_size) > kMaxDataFileSize)
    refused = ": larger than " + std::to_string(kMaxDataFileSize >> 20) + " MiB";
  if (!refused.empty()) {
    close(fd);
    *error = path + refused;
    return false;
  }
  text->reserve(static_cast<size_t>(st->st_size));
  const bool read_ok = ReadWhole(fd, kMaxDataFileSize, text);
  const int saved = errno;
  close(fd);
  if (!read_ok) {
    *error = path + (saved == EFBIG ? ": grew past " + std::to_string(kMaxDataFileSize >> 20) +
                                          " MiB while being read"
                                    : ": cannot read: " + std::string(std::strerror(saved)));
    return false;
  }
  return true;
}

}  // namespace

bool ReadDataFile(const std::string& path, std::string* text, long long* mtime_ns,
                  std::string* error) {
  struct stat st {};
  text->clear();
  if (!ReadRegularFile(path, text, &st, error)) return false;
  *mtime_ns = Nanoseconds(st.st_mtim);
  return true;
}

bool DataStore::ReadAndBuild(FileId* id, std::shared_ptr<const Snapshot>* out,
                             std::string* error) const {
  struct stat st {};
  std::string text;
  if (!ReadRegularFile(path_, &text, &st, error)) return false;
  // The identity of what was read, so a change during the read is seen next time.
  *id = {st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};

  auto snapshot = std::make_shared<Snapshot>();
  if (!ParseSecurityData(text, path_, &snapshot->data, error)) return false;
  const std::string timestamp =
      snapshot->data.timestamp.empty()
          ? DerivedTimestamp(id->mtime_ns, static_cast<long long>(text.size()), text)
          : snapshot->data.timestamp;
  snapshot->documents = RenderDocuments(snapshot->data, timestamp);
  *out = std::move(snapshot);
  return true;
}

bool DataStore::Load(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  FileId id;
  std::shared_ptr<const Snapshot> loaded;
  if (!ReadAndBuild(&id, &loaded, error)) return false;
  current_ = std::move(loaded);
  seen_ = id;
  fault_.clear();
  return true;
}

std::shared_ptr<const Snapshot> DataStore::Current() {
  FileId now;
  const bool present = StatFile(&now);
  const int stat_errno = errno;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present) {
    if (seen_.size != -1) {
      std::fprintf(stderr, "qrnsecd: %s: cannot be read (%s); still serving the last good data\n",
                   path_.c_str(), std::strerror(stat_errno));
      seen_ = FileId{};
      fault_ = path_ + ": cannot be read: " + std::strerror(stat_errno);
    }
    return current_;
  }
  if (now == seen_) return current_;

  FileId id;
  std::shared_ptr<const Snapshot> loaded;
  std::string error;
  if (ReadAndBuild(&id, &loaded, &error)) {
    current_ = std::move(loaded);
    seen_ = id;
    fault_.clear();
    std::fprintf(stderr, "qrnsecd: %s: reloaded, timestamp %s\n", path_.c_str(),
                 current_->documents.timestamp.c_str());
  } else {
    seen_ = now;
    fault_ = error;
    std::fprintf(stderr, "qrnsecd: %s; still serving the last good data\n", error.c_str());
  }
  return current_;
}

bool DataStore::Servable(std::string* why) {
  Current();  // picks up a change made since the last request
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current_) {
    if (why) *why = path_ + ": not loaded";
    return false;
  }
  if (fault_.empty()) return true;
  if (why) *why = fault_;
  return false;
}

}  // namespace qrn::secd
