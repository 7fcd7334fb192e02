// Linux services behind platform/os.h.
#include "platform/os.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/log_text.h"

namespace qrn::platform {

std::string TempFolder() {
  const char* dir = std::getenv("TMPDIR");
  std::string folder = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  if (folder.back() != '/') folder.push_back('/');
  return folder;
}

bool ComputerName(std::string* name) {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) return false;
  std::string label(host, strnlen(host, sizeof(host)));
  const size_t dot = label.find('.');
  if (dot != std::string::npos) label.resize(dot);
  if (label.empty()) return false;
  if (label.size() > 15) label.resize(15);
  for (char& c : label) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  *name = label;
  return true;
}

std::string ModuleFileName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&ModuleFileName), &info) == 0 ||
      info.dli_fname == nullptr) {
    return std::string();
  }
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) != nullptr) return resolved;
  return info.dli_fname;
}

std::string HostFileName() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return std::string();
  return std::string(path, static_cast<size_t>(n));
}

void WriteEvent(std::string_view raw_text) {
  // Event texts carry names and server answers: a control character could
  // end the line and start one of a user's choosing.
  const std::string text = EscapeLogText(raw_text);
  // Administrators (and the tests) may send events to a file instead of
  // syslog by naming it in $QRNAUTH_EVENT_LOG.
  const char* file = std::getenv("QRNAUTH_EVENT_LOG");
  if (file != nullptr && *file != '\0') {
    // O_NONBLOCK: a FIFO without a reader fails at once instead of stalling.
    const int fd =
        open(file, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      std::string line(text);
      line.push_back('\n');
      // One write with O_APPEND keeps lines of concurrent writers whole.
      const ssize_t written = write(fd, line.data(), line.size());
      (void)written;
      close(fd);
    }
    return;
  }
  static std::once_flag once;
  std::call_once(once, [] { openlog("MvtSecurity", 0, LOG_USER); });
  syslog(LOG_INFO, "%s", text.c_str());
}

UtcTime UtcNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  gmtime_r(&ts.tv_sec, &parts);
  return UtcTime{parts.tm_year + 1900,
                 parts.tm_mon + 1,
                 parts.tm_mday,
                 parts.tm_hour,
                 parts.tm_min,
                 parts.tm_sec,
                 static_cast<int>(ts.tv_nsec / 1000000)};
}

int64_t UnixSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

uint64_t CoarseMillis() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

PathAttributes GetPathAttributes(const std::string& path) {
  PathAttributes attributes;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return attributes;
  attributes.exists = true;
  attributes.directory = S_ISDIR(st.st_mode);
  attributes.read_only = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  return attributes;
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

}  // namespace qrn::platform
