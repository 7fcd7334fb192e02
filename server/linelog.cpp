#include "server/linelog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qrn::secd {

LineLog::~LineLog() {
  if (fd_ >= 0) close(fd_);
}

bool LineLog::Open(const std::string& path, std::string* error) {
  // O_NONBLOCK: a FIFO in the log's place must not hang the start (nor the
  // writes later); O_NOFOLLOW: a link planted in a shared folder must not
  // make the server append to another file. Only a regular file is kept.
  const int fd =
      open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    *error = path + ": cannot open for appending: " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *error = path + ": not a regular file";
    return false;
  }
  fd_ = fd;
  return true;
}

void LineLog::Append(std::string_view text) {
  if (fd_ < 0) return;
  std::string line(text);
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk must not take the server down
    done += static_cast<size_t>(n);
  }
}

}  // namespace qrn::secd
