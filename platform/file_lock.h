// Advisory locks on a lock file, with a deadline on every wait.
//
// A FileLock holds flock(2) on a file that is opened (and created when
// missing) read-only with O_NOFOLLOW and O_CLOEXEC, mode 0644 less the umask:
// flock works on a read-only descriptor, so a lock file made by another user
// of a shared folder still serves, and nobody needs write access to it. A
// path that is not a regular file (a symbolic link, a directory, a FIFO) is
// refused. The lock is released when the object goes away.
#pragma once

#include <string>

namespace qrn::platform {

class FileLock {
 public:
  enum class Mode { kShared, kExclusive };
  enum class Result { kLocked, kTimedOut, kUnavailable };

  FileLock() = default;
  ~FileLock();  // Release()
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Waits at most deadline_ms for the lock (polling, so the wait can always
  // end). kUnavailable: the file cannot be opened or created, or is not a
  // regular file. Acquiring while a lock is held releases it first.
  Result Acquire(const std::string& path, Mode mode, int deadline_ms);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace qrn::platform
