#include "platform/shared_block.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace qrn::platform {

namespace {

// Opens and checks the object; the descriptor or -1 with *error.
int OpenChecked(const std::string& name, size_t size, std::string* error) {
  const int fd =
      shm_open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) {
    *error = "cannot open shared memory " + name + ": " + std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = "cannot inspect shared memory " + name + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  // Someone else's object, or one that others may read, must not carry this
  // user's secrets: refuse it rather than widen what it exposes.
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[16];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *error = "refusing shared memory " + name + " (owner " + std::to_string(st.st_uid) + ", mode " +
             mode + "): it must belong to this user with mode 0600";
    close(fd);
    return -1;
  }
  if (static_cast<size_t>(st.st_size) < size && ftruncate(fd, static_cast<off_t>(size)) != 0) {
    *error = "cannot size shared memory " + name + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

SharedBlock::~SharedBlock() {
  if (fd_ >= 0) close(fd_);
}

bool SharedBlock::Open(const std::string& name, size_t size, std::string* error) {
  std::lock_guard<std::timed_mutex> guard(mutex_);
  name_ = name;
  size_ = size;
  fd_ = OpenChecked(name, size, error);
  pid_ = getpid();
  return fd_ >= 0;
}

bool SharedBlock::Reopen(std::string* error) {
  if (fd_ < 0) {
    *error = "shared memory " + name_ + " is not in use";
    return false;
  }
  if (pid_ == getpid()) return true;
  close(fd_);
  fd_ = OpenChecked(name_, size_, error);
  pid_ = getpid();
  return fd_ >= 0;
}

bool SharedBlock::Lock(int operation, std::string* error) {
  // flock has no timeout of its own: try, then back off briefly, until the
  // deadline. The holders keep it for a single pread or pwrite.
  const auto deadline = std::chrono::steady_clock::now() + kSharedBlockLockDeadline;
  for (int attempt = 0;; ++attempt) {
    if (flock(fd_, operation | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *error = "cannot lock shared memory " + name_ + ": " + std::strerror(errno);
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      *error = "shared memory " + name_ + " stayed locked by another process";
      return false;
    }
    if (attempt < 16)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(attempt < 64 ? 50 : 1000));
  }
}

bool SharedBlock::Read(void* buffer, size_t size, std::string* error) {
  std::unique_lock<std::timed_mutex> guard(mutex_, kSharedBlockLockDeadline);
  if (size > size_) size = size_;
  std::memset(buffer, 0, size);
  if (!guard.owns_lock()) {
    *error = "shared memory " + name_ + " stayed busy in this process";
    return false;
  }
  if (!Reopen(error) || !Lock(LOCK_SH, error)) return false;
  size_t done = 0;
  bool ok = true;
  while (done < size) {
    const ssize_t n = pread(fd_, static_cast<char*>(buffer) + done, size - done,
                            static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read shared memory " + name_ + ": " + std::strerror(errno);
      ok = false;
    }
    if (n <= 0) break;  // the end of a shrunk object: the rest stays zero
    done += static_cast<size_t>(n);
  }
  flock(fd_, LOCK_UN);
  return ok;
}

bool SharedBlock::Write(std::initializer_list<Piece> pieces, std::string* error) {
  std::unique_lock<std::timed_mutex> guard(mutex_, kSharedBlockLockDeadline);
  if (!guard.owns_lock()) {
    *error = "shared memory " + name_ + " stayed busy in this process";
    return false;
  }
  if (!Reopen(error) || !Lock(LOCK_EX, error)) return false;
  bool ok = true;
  for (const Piece& piece : pieces) {
    if (piece.offset + piece.size > size_) {
      *error = "write past the end of shared memory " + name_;
      ok = false;
      break;
    }
    size_t done = 0;
    while (ok && done < piece.size) {
      const ssize_t n = pwrite(fd_, static_cast<const char*>(piece.data) + done,
                               piece.size - done, static_cast<off_t>(piece.offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = "cannot write shared memory " + name_ + ": " + std::strerror(errno);
        ok = false;
      } else {
        done += static_cast<size_t>(n);
      }
    }
    if (!ok) break;
  }
  flock(fd_, LOCK_UN);
  return ok;
}

bool UnlinkSharedBlock(const std::string& name) { return shm_unlink(name.c_str()) == 0; }

unsigned BlockOwnerId() { return static_cast<unsigned>(geteuid()); }

}  // namespace qrn::platform
