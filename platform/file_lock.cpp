#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace qrn::platform {

namespace {

constexpr mode_t kLockFileMode = 0644;
constexpr int kFirstPollMs = 1;
constexpr int kLongestPollMs = 20;

}  // namespace

FileLock::~FileLock() { Release(); }

void FileLock::Release() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

FileLock::Result FileLock::Acquire(const std::string& path, Mode mode, int deadline_ms) {
  Release();
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, kLockFileMode);
  if (fd < 0) return Result::kUnavailable;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return Result::kUnavailable;
  }
  const int operation = (mode == Mode::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(deadline_ms < 0 ? 0 : deadline_ms);
  int pause_ms = kFirstPollMs;
  for (;;) {
    if (::flock(fd, operation) == 0) {
      fd_ = fd;
      return Result::kLocked;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      ::close(fd);
      return Result::kUnavailable;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      ::close(fd);
      return Result::kTimedOut;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    std::this_thread::sleep_for(std::chrono::milliseconds(
        std::min<long long>(pause_ms, std::max<long long>(1, left.count()))));
    pause_ms = std::min(pause_ms * 2, kLongestPollMs);
  }
}

}  // namespace qrn::platform
