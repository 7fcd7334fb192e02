#include "platform/icmp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace qrn::platform {

bool ResolveIPv4(const std::string& host, uint32_t* address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
    *address = parsed.s_addr;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  bool ok = false;
  for (addrinfo* it = found; it; it = it->ai_next) {
    if (it->ai_family == AF_INET && it->ai_addr) {
      *address = reinterpret_cast<sockaddr_in*>(it->ai_addr)->sin_addr.s_addr;
      ok = true;
      break;
    }
  }
  freeaddrinfo(found);
  return ok;
}

IcmpSocket::~IcmpSocket() { Close(); }

bool IcmpSocket::Open(IcmpMode mode) {
  Close();
  if (mode != IcmpMode::kDatagramOnly) {
    fd_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    datagram_ = false;
  }
  if (fd_ < 0 && mode != IcmpMode::kRawOnly) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    datagram_ = true;
  }
  return fd_ >= 0;
}

void IcmpSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool IcmpSocket::SetTimeouts(int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  return setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 &&
         setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

IcmpIo IcmpSocket::SendTo(uint32_t address, const void* packet, size_t size) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  ssize_t n;
  do {
    n = sendto(fd_, packet, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return IcmpIo::kOk;
  return (errno == EAGAIN || errno == EWOULDBLOCK) ? IcmpIo::kTimeout : IcmpIo::kError;
}

IcmpIo IcmpSocket::Receive(void* buffer, size_t capacity, int timeout_ms, size_t* received) {
  pollfd pfd{fd_, POLLIN, 0};
  int ready;
  do {
    ready = poll(&pfd, 1, timeout_ms < 0 ? 0 : timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return IcmpIo::kError;
  if (ready == 0) return IcmpIo::kTimeout;
  ssize_t n;
  do {
    n = recv(fd_, buffer, capacity, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? IcmpIo::kTimeout : IcmpIo::kError;
  }
  *received = static_cast<size_t>(n);
  return IcmpIo::kOk;
}

uint64_t MonotonicMillis() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace qrn::platform
