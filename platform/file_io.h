// The one way the library opens files in folders other users may write to
// (the temporary folder, the cache folder, the hive folders):
//  - reads open with O_NOFOLLOW (unless the caller names the file itself),
//    O_NONBLOCK (a FIFO cannot stall the open) and O_CLOEXEC, take only a
//    regular file, and stop at a size limit;
//  - replacements write a temporary file created with O_EXCL and an explicit
//    mode, flush it, rename it over the old file and flush the folder;
//  - log appends open with O_NOFOLLOW and take only a regular file with one
//    link, owned by the caller or by root.
// No file is ever created or left world-writable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qrn::platform {

// Size limits of the files the library reads. A cache file holds the
// encrypted text of one document (base64: 4/3 of the document, which the web
// client limits to 64 MiB), so 128 MiB leaves room for every document the
// library can have written. A hive is a hand-edited text file.
constexpr size_t kMaxCacheFileBytes = size_t{128} << 20;
constexpr size_t kMaxHiveFileBytes = size_t{64} << 20;

enum class FileError {
  kNone,
  kMissing,     // no such file (or a folder of its path is missing)
  kLink,        // a symbolic link where links are refused
  kNotRegular,  // a directory, FIFO, socket or device
  kTooLarge,    // over the reader's limit
  kForeign,     // a log owned by another user, or with more than one link
  kDenied,      // permission denied
  kFailed,      // any other failure (errno in FileResult::sys_errno)
};

// What tells one version of a file from another: device, inode, size and
// the modification and change times (nanoseconds). exists is false for no
// file.
struct FileIdentity {
  bool exists = false;
  uint64_t dev = 0;
  uint64_t ino = 0;
  int64_t size = 0;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at path (links followed).
FileIdentity IdentifyFile(const std::string& path);

struct FileResult {
  FileError error = FileError::kNone;
  int sys_errno = 0;
  size_t limit = 0;  // for kTooLarge
  // Permission bits (st_mode & 07777) of the file read, for callers that
  // check who else may read it; 0 when nothing was read.
  unsigned mode = 0;
  // The identity of the file read, as it was opened.
  FileIdentity identity;

  bool ok() const { return error == FileError::kNone; }
  // Why the file could not be used, for messages: "is not a regular file",
  // "is larger than the limit of 134217728 bytes", "Permission denied", ...
  std::string Describe() const;
};

struct ReadOptions {
  size_t max_bytes = kMaxCacheFileBytes;
  // Follow a symbolic link in the last component: only for a path the user
  // named (a hive, a file given on a command line), never for a name the
  // library makes up in a shared folder.
  bool follow_links = false;
};

// Reads the whole of a regular file into *content (cleared on failure).
FileResult ReadFileChecked(const std::string& path, std::string* content,
                           const ReadOptions& options = {});

// ReadFileChecked with the default options: no links, at most
// kMaxCacheFileBytes. False when the file cannot be used.
bool ReadWholeFile(const std::string& path, std::string* content);

// Replaces the file at path with content: writes a temporary file in the same
// folder, flushes it to disk and renames it over path, so a reader (in any
// process) sees the old file or the new one, never a part of either. A
// symbolic link at path is replaced, not written through. A new file gets
// 0664 less the umask; an existing regular file keeps its permission bits but
// never set-id bits or write access for others. False when the folder cannot
// be written; the temporary file is then removed.
bool ReplaceWholeFile(const std::string& path, std::string_view content);

// The same with the permission bits given: the new file gets exactly mode,
// less set-id bits and write access for others, whatever the umask. Also
// flushes the folder, so the rename survives a crash once this returns.
// *written (when given): the identity of the new file, or no file when
// another writer replaced it in between.
bool ReplaceFileWithMode(const std::string& path, std::string_view content, unsigned mode,
                         FileIdentity* written = nullptr);

// Opens path for writing as the cache writers would, creating it empty (mode
// as for new files above) when missing, and closes it again; the content is
// kept. Fails for a link, a FIFO or anything else that is not a regular file.
FileResult TouchFile(const std::string& path);

// Appends text to a log file in one write (O_APPEND, so lines of several
// processes stay whole), creating the file with create_mode less the umask
// (write access for others is always removed). Refuses a link, anything not
// a regular file, a file with more than one link, and a file owned by
// anyone but the caller (effective uid) or root.
FileResult AppendToLog(const std::string& path, std::string_view text, unsigned create_mode);

}  // namespace qrn::platform
