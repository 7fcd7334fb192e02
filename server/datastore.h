// The data file as the server serves it: parsed, rendered, and reloaded when
// the file changes on disk, without a restart.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "server/store.h"

namespace qrn::secd {

// The largest data file read: a FIFO, a device or a larger file is refused
// (at start, or by keeping the last good data in service) without being read.
constexpr unsigned long long kMaxDataFileSize = 64ULL << 20;

class DataStore : public Store {
 public:
  explicit DataStore(std::string path);

  // First load. False with *error (file name and position) when the file
  // cannot be read or is malformed.
  bool Load(std::string* error);

  // The data to answer a request with. Looks at the file's identity (inode,
  // size, modification and change times) on every call; when it changed, the
  // file is read again. A file that became unreadable or malformed keeps the
  // last good data in service and reports the fault on stderr once.
  std::shared_ptr<const Snapshot> Current() override;

  // Whether the data in service is the file's current content: looks at the
  // file as Current() does, then false with *why (the fault) while the last
  // good data stands in for a file that is unreadable or malformed.
  bool Servable(std::string* why) override;

 private:
  struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    long long mtime_ns = 0, ctime_ns = 0;
    bool operator==(const FileId&) const = default;
  };
  bool StatFile(FileId* id) const;
  bool ReadAndBuild(FileId* id, std::shared_ptr<const Snapshot>* out, std::string* error) const;

  const std::string path_;
  std::mutex mutex_;
  std::shared_ptr<const Snapshot> current_;
  FileId seen_;  // identity last looked at (good or bad), so a bad file is parsed once
  std::string fault_;  // why the file last looked at is not in service; empty when it is
};

// Reads a data file named on a command line (links followed): only a regular
// file of at most kMaxDataFileSize. *mtime_ns is its modification time, for
// DerivedTimestamp. False with *error naming the file.
bool ReadDataFile(const std::string& path, std::string* text, long long* mtime_ns,
                  std::string* error);

// The server timestamp of a data file without a "timestamp" (a date as a
// real server writes it, "MM/DD/YYYY h:mm:ss AM", then the nanoseconds,
// size and checksum that tell versions apart): its modification
// time (UTC, nanoseconds), its size and a checksum of its bytes, so that every
// change of the file gives a new text.
std::string DerivedTimestamp(long long mtime_ns, long long size, std::string_view content);

}  // namespace qrn::secd
