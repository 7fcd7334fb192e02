#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qrn::platform {

namespace {

// Permission bits of new files, before the umask: owner and group may write
// (a cache folder may be shared by the users of one group), others may read.
constexpr mode_t kNewFileMode = 0664;
// Bits a replacement keeps from the file it replaces: no set-id or sticky
// bit, never write access for others.
constexpr mode_t kKeptModeBits = 0775;

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// A name in path's folder that no other writer uses: ".name.<pid>.<n>.tmp".
std::string TemporaryName(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "." + name + "." + std::to_string(::getpid()) + "." +
         std::to_string(counter.fetch_add(1)) + ".tmp";
}

FileResult FromErrno(int err) {
  FileResult result;
  result.sys_errno = err;
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      result.error = FileError::kMissing;
      break;
    case ELOOP:
      result.error = FileError::kLink;
      break;
    case EACCES:
    case EPERM:
      result.error = FileError::kDenied;
      break;
    case ENXIO:  // a FIFO without a reader, opened for writing
    case EISDIR:
      result.error = FileError::kNotRegular;
      break;
    default:
      result.error = FileError::kFailed;
      break;
  }
  return result;
}

FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity id;
  id.exists = true;
  id.dev = static_cast<uint64_t>(info.st_dev);
  id.ino = static_cast<uint64_t>(info.st_ino);
  id.size = static_cast<int64_t>(info.st_size);
  id.mtime_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  id.ctime_ns = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  return id;
}

// Flushes the folder of path, so that a rename into it is on disk.
bool SyncFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot
  ::close(fd);
  return ok;
}

// A new exclusive temporary file beside path; -1 when none can be made.
int CreateTemporary(const std::string& path, std::string* temporary) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    *temporary = TemporaryName(path);
    const int fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          kNewFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Writes, flushes and renames the temporary file; removes it on failure.
bool FinishReplace(int fd, const std::string& temporary, const std::string& path,
                   std::string_view content, bool ok, FileIdentity* written) {
  struct stat info {};
  ok = ok && WriteAll(fd, content.data(), content.size()) && ::fsync(fd) == 0 &&
       ::fstat(fd, &info) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolder(path);
  if (written != nullptr) {
    const FileIdentity now = IdentifyFile(path);
    const FileIdentity ours = IdentityOf(info);
    *written = now.dev == ours.dev && now.ino == ours.ino ? now : FileIdentity();
  }
  return true;
}

FileResult Failure(FileError error) {
  FileResult result;
  result.error = error;
  return result;
}

}  // namespace

FileIdentity IdentifyFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return FileIdentity();
  return IdentityOf(info);
}

std::string FileResult::Describe() const {
  switch (error) {
    case FileError::kNone:
      return "no error";
    case FileError::kMissing:
      if (sys_errno != 0 && sys_errno != ENOENT) break;
      return "does not exist";
    case FileError::kLink:
      return "is a symbolic link";
    case FileError::kNotRegular:
      return "is not a regular file";
    case FileError::kTooLarge:
      return "is larger than the limit of " + std::to_string(limit) + " bytes";
    case FileError::kForeign:
      return "is owned by another user or has more than one link";
    case FileError::kDenied:
    case FileError::kFailed:
      break;
  }
  return std::strerror(sys_errno != 0 ? sys_errno : EIO);
}

FileResult ReadFileChecked(const std::string& path, std::string* content,
                           const ReadOptions& options) {
  content->clear();
  const int flags =
      O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (options.follow_links ? 0 : O_NOFOLLOW);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) return FromErrno(errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int err = errno;
    ::close(fd);
    return FromErrno(err);
  }
  FileResult too_large = Failure(FileError::kTooLarge);
  too_large.limit = options.max_bytes;
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return Failure(FileError::kNotRegular);
  }
  if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > options.max_bytes) {
    ::close(fd);
    return too_large;
  }
  // The size is a hint (the file may grow while it is read); the loop reads
  // to the end but never past the limit.
  std::string data;
  data.resize(static_cast<size_t>(info.st_size) + 1);
  size_t used = 0;
  for (;;) {
    if (used == data.size()) {
      if (used > options.max_bytes) {
        ::close(fd);
        return too_large;
      }
      data.resize(std::min(data.size() * 2, options.max_bytes + 1));
    }
    const ssize_t got = ::read(fd, data.data() + used, data.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return FromErrno(err);
    }
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  ::close(fd);
  if (used > options.max_bytes) return too_large;
  data.resize(used);
  *content = std::move(data);
  FileResult read;
  read.mode = static_cast<unsigned>(info.st_mode & 07777);
  read.identity = IdentityOf(info);
  return read;
}

bool ReadWholeFile(const std::string& path, std::string* content) {
  return ReadFileChecked(path, content).ok();
}

bool ReplaceWholeFile(const std::string& path, std::string_view content) {
  std::string temporary;
  const int fd = CreateTemporary(path, &temporary);
  if (fd < 0) return false;
  bool ok = true;
  // The mode the new file gets: an existing regular file's (lstat: a link
  // planted at path lends us nothing), else what open gave it. The umask
  // may allow others to write, so that bit is always taken away.
  struct stat existing {};
  struct stat created {};
  if (::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    ok = ::fchmod(fd, existing.st_mode & kKeptModeBits) == 0;
  } else if (::fstat(fd, &created) == 0 && (created.st_mode & S_IWOTH) != 0) {
    ok = ::fchmod(fd, created.st_mode & kKeptModeBits) == 0;
  }
  return FinishReplace(fd, temporary, path, content, ok, nullptr);
}

bool ReplaceFileWithMode(const std::string& path, std::string_view content, unsigned mode,
                         FileIdentity* written) {
  if (written != nullptr) *written = FileIdentity();
  std::string temporary;
  const int fd = CreateTemporary(path, &temporary);
  if (fd < 0) return false;
  const bool ok = ::fchmod(fd, static_cast<mode_t>(mode) & kKeptModeBits) == 0;
  return FinishReplace(fd, temporary, path, content, ok, written);
}

FileResult TouchFile(const std::string& path) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
             kNewFileMode & ~S_IWOTH);
  if (fd < 0) return FromErrno(errno);
  struct stat info {};
  FileResult result;
  if (::fstat(fd, &info) != 0) {
    result = FromErrno(errno);
  } else if (!S_ISREG(info.st_mode)) {
    result = Failure(FileError::kNotRegular);
  }
  ::close(fd);
  return result;
}

FileResult AppendToLog(const std::string& path, std::string_view text, unsigned create_mode) {
  const int fd = ::open(
      path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
      static_cast<mode_t>(create_mode) & 0666 & ~S_IWOTH);
  if (fd < 0) return FromErrno(errno);
  struct stat info {};
  FileResult result;
  if (::fstat(fd, &info) != 0) {
    result = FromErrno(errno);
  } else if (!S_ISREG(info.st_mode)) {
    result = Failure(FileError::kNotRegular);
  } else if ((info.st_uid != ::geteuid() && info.st_uid != 0) || info.st_nlink != 1) {
    // Another user's file (or a hard link to one) in a shared folder: what
    // we append could land in a file its owner never meant us to write.
    result = Failure(FileError::kForeign);
  } else if (!WriteAll(fd, text.data(), text.size())) {
    result = FromErrno(errno);
  }
  ::close(fd);
  return result;
}

}  // namespace qrn::platform
