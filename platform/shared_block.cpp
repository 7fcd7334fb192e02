#include "platform/shared_block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qrn::platform {

void* MapOwnerOnlySharedBlock(const std::string& name, size_t size, std::string* error) {
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) {
    *error = "cannot open shared memory " + name + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = "cannot inspect shared memory " + name + ": " + std::strerror(errno);
    close(fd);
    return nullptr;
  }
  // Someone else's object, or one that others may read, must not carry this
  // user's secrets: refuse it rather than widen what it exposes.
  if (st.st_uid != geteuid() || (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[16];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *error = "refusing shared memory " + name + " (owner " + std::to_string(st.st_uid) + ", mode " +
             mode + "): it must belong to this user with mode 0600";
    close(fd);
    return nullptr;
  }
  if (static_cast<size_t>(st.st_size) < size && ftruncate(fd, static_cast<off_t>(size)) != 0) {
    *error = "cannot size shared memory " + name + ": " + std::strerror(errno);
    close(fd);
    return nullptr;
  }
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (block == MAP_FAILED) {
    *error = "cannot map shared memory " + name + ": " + std::strerror(errno);
    return nullptr;
  }
  return block;
}

bool UnlinkSharedBlock(const std::string& name) { return shm_unlink(name.c_str()) == 0; }

unsigned BlockOwnerId() { return static_cast<unsigned>(geteuid()); }

}  // namespace qrn::platform
