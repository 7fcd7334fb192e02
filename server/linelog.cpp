#include "server/linelog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qrn::secd {

LineLog::~LineLog() {
  if (fd_ >= 0) close(fd_);
}

bool LineLog::Open(const std::string& path, std::string* error) {
  fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    *error = path + ": cannot open for appending: " + std::strerror(errno);
    return false;
  }
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
