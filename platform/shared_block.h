// A block of bytes shared by every process of one user: a POSIX
// shared-memory object, created on first use with owner-only access.
//
// The object is read and written through its descriptor (pread/pwrite),
// never mapped: a peer that shrinks the object cannot make a reader fault,
// bytes past its end simply read as zero. Every read and write holds an
// advisory lock on the object (flock: shared for reads, exclusive for
// writes), so a reader sees each write whole, across processes as well as
// threads. A lock that is not granted within kSharedBlockLockDeadline fails
// the operation instead of waiting on.
#pragma once

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <string>

namespace qrn::platform {

constexpr std::chrono::milliseconds kSharedBlockLockDeadline{2000};

class SharedBlock {
 public:
  SharedBlock() = default;
  ~SharedBlock();
  SharedBlock(const SharedBlock&) = delete;
  SharedBlock& operator=(const SharedBlock&) = delete;

  // Opens (creating when missing, mode 0600) the shared-memory object `name`
  // ("/something") and makes it at least `size` bytes (new bytes are zero).
  // The object must belong to the calling user and grant nothing to group
  // or others; otherwise, or on any failure, false with *error saying why,
  // and the block stays unusable.
  bool Open(const std::string& name, size_t size, std::string* error);
  bool usable() const { return fd_ >= 0; }

  // Reads the first `size` bytes (at most the size given to Open) under a
  // shared lock; bytes past the object's current end read as zero.
  bool Read(void* buffer, size_t size, std::string* error);

  struct Piece {
    size_t offset;
    const void* data;
    size_t size;
  };
  // Writes the pieces under one exclusive lock: a reader sees all or none.
  bool Write(std::initializer_list<Piece> pieces, std::string* error);

 private:
  // The descriptor of this process; a child after fork opens its own, since
  // a lock on a shared open file description would not keep parent and
  // child apart.
  bool Reopen(std::string* error);
  bool Lock(int operation, std::string* error);

  // A flock does not keep the threads of one process apart. Timed, like the
  // flock: a child forked while another thread held it would wait for ever.
  std::timed_mutex mutex_;
  std::string name_;
  size_t size_ = 0;
  int fd_ = -1;
  long pid_ = -1;  // the process that opened fd_
};

// Removes the object's name (open descriptors stay valid). For tools and
// tests; true when it existed.
bool UnlinkSharedBlock(const std::string& name);

// The effective user id of the calling thread: the owner that
// SharedBlock::Open requires.
unsigned BlockOwnerId();

}  // namespace qrn::platform
