#include "server/datastore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/file_io.h"

namespace qrn::secd {

namespace {

// The store's identity record of a file's identity.
template <typename FileId>
FileId IdOf(const platform::FileIdentity& identity) {
  FileId id;
  id.dev = static_cast<dev_t>(identity.dev);
  id.ino = static_cast<ino_t>(identity.ino);
  id.size = static_cast<off_t>(identity.size);
  id.mtime_ns = identity.mtime_ns;
  id.ctime_ns = identity.ctime_ns;
  return id;
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
  const platform::FileIdentity identity = platform::IdentifyFile(path_);
  if (!identity.exists) return false;
  *id = IdOf<FileId>(identity);
  return true;
}

namespace {

// Reads the data file whole into *text; *identity describes what was read.
// A FIFO cannot stall the read (the store's lock is held): only a regular
// file of at most kMaxDataFileSize is read; the file is the one named.
bool ReadRegularFile(const std::string& path, std::string* text,
                     platform::FileIdentity* identity, std::string* error) {
  platform::ReadOptions options;
  options.max_bytes = kMaxDataFileSize;
  options.follow_links = true;
  const platform::FileResult read = platform::ReadFileChecked(path, text, options);
  if (!read.ok()) {
    switch (read.error) {
      case platform::FileError::kNotRegular:
        *error = path + ": not a regular file";
        break;
      case platform::FileError::kTooLarge:
        *error = path + ": larger than " + std::to_string(kMaxDataFileSize >> 20) + " MiB";
        break;
      default:
        *error = path + ": cannot read: " + read.Describe();
        break;
    }
    return false;
  }
  *identity = read.identity;
  return true;
}

}  // namespace

bool ReadDataFile(const std::string& path, std::string* text, long long* mtime_ns,
                  std::string* error) {
  platform::FileIdentity identity;
  text->clear();
  if (!ReadRegularFile(path, text, &identity, error)) return false;
  *mtime_ns = identity.mtime_ns;
  return true;
}

bool DataStore::ReadAndBuild(FileId* id, std::shared_ptr<const Snapshot>* out,
                             std::string* error) const {
  platform::FileIdentity identity;
  std::string text;
  if (!ReadRegularFile(path_, &text, &identity, error)) return false;
  // The identity of what was read, so a change during the read is seen next time.
  *id = IdOf<FileId>(identity);

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
