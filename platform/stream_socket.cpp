#include "platform/stream_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qrn::platform {
namespace {

// Milliseconds of CLOCK_MONOTONIC, for deadlines.
uint64_t NowMillis() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Waits for `events` on fd until the deadline; true when ready.
bool WaitFor(int fd, short events, uint64_t deadline) {
  for (;;) {
    uint64_t now = NowMillis();
    if (now >= deadline) return false;
    uint64_t left = deadline - now;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left));
    if (n > 0) return true;  // readiness, or an error the next call reports
    if (n < 0 && errno != EINTR) return false;
  }
}

std::string AddressText(const sockaddr* addr) {
  char host[INET6_ADDRSTRLEN] = "";
  unsigned port = 0;
  if (addr->sa_family == AF_INET6) {
    auto* a = reinterpret_cast<const sockaddr_in6*>(addr);
    inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
  }
  auto* a = reinterpret_cast<const sockaddr_in*>(addr);
  inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
  port = ntohs(a->sin_port);
  return std::string(host) + ":" + std::to_string(port);
}

}  // namespace

bool SendAll(int fd, const void* data, size_t size, uint32_t timeout_ms, bool more) {
  const char* p = static_cast<const char*>(data);
  uint64_t deadline = NowMillis() + timeout_ms;
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
    if (n > 0) {
      p += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) return false;
      continue;
    }
    return false;
  }
  return true;
}

long ReceiveSome(int fd, void* buffer, size_t size, uint32_t timeout_ms) {
  uint64_t deadline = NowMillis() + timeout_ms;
  for (;;) {
    ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (!WaitFor(fd, POLLIN, deadline)) return -2;
  }
}

int ListenTcp(const std::string& host, const std::string& port, std::string* bound,
              std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    *error = gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 16) == 0) break;
    *error = std::strerror(errno);
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  if (fd < 0) return -1;
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *bound = AddressText(reinterpret_cast<sockaddr*>(&addr));
  return fd;
}

int AcceptOne(int listener, uint32_t timeout_ms) {
  if (!WaitFor(listener, POLLIN, NowMillis() + timeout_ms)) return -1;
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int ConnectTcp(const std::string& host, const std::string& port, uint32_t timeout_ms,
               std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    *error = gai_strerror(rc);
    return -1;
  }
  uint64_t deadline = NowMillis() + timeout_ms;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    int result = connect(fd, a->ai_addr, a->ai_addrlen);
    if (result != 0 && errno == EINPROGRESS && WaitFor(fd, POLLOUT, deadline)) {
      int so_error = 0;
      socklen_t len = sizeof so_error;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
      result = so_error == 0 ? 0 : -1;
      errno = so_error != 0 ? so_error : ETIMEDOUT;
    } else if (result != 0 && errno == EINPROGRESS) {
      errno = ETIMEDOUT;
    }
    if (result == 0) {
      // Back to blocking: the transports handle either kind.
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      break;
    }
    *error = std::strerror(errno);
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  return fd;
}

void CloseSocket(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace qrn::platform
