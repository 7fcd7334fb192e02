// ICMP echo sockets and IPv4 name resolution, for the reachability test.
//
// Open tries a raw ICMP socket first (needs the privilege to open one); when
// that is refused it tries the unprivileged ICMP datagram socket (allowed to
// the groups in net.ipv4.ping_group_range). On a datagram socket the kernel
// replaces the identifier of every echo request with the socket's own and
// delivers only the replies that carry it, without the IP header; a raw
// socket delivers every ICMP datagram with its IP header. Packets are built
// and checked by the caller; this layer only moves bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qrn::platform {

enum class IcmpMode {
  kAny,  // raw, else datagram
  kRawOnly,
  kDatagramOnly,
};

enum class IcmpIo { kOk, kTimeout, kError };

// The IPv4 address of host in network byte order: a dotted address as it is,
// else the first IPv4 address of a name lookup. False when neither works.
bool ResolveIPv4(const std::string& host, uint32_t* address);

class IcmpSocket {
 public:
  IcmpSocket() = default;
  ~IcmpSocket();
  IcmpSocket(const IcmpSocket&) = delete;
  IcmpSocket& operator=(const IcmpSocket&) = delete;

  // False when no socket of the allowed kinds could be opened.
  bool Open(IcmpMode mode = IcmpMode::kAny);
  void Close();
  // True for a datagram socket (no IP header on receive, identifier rewritten).
  bool is_datagram() const { return datagram_; }

  // Socket-level send and receive timeouts (SO_SNDTIMEO, SO_RCVTIMEO).
  bool SetTimeouts(int milliseconds);

  IcmpIo SendTo(uint32_t address, const void* packet, size_t size);
  // Receives one datagram of at most capacity bytes, waiting at most
  // timeout_ms. *received is its length.
  IcmpIo Receive(void* buffer, size_t capacity, int timeout_ms, size_t* received);

 private:
  int fd_ = -1;
  bool datagram_ = false;
};

// Milliseconds of a monotonic clock, for the echo timestamp and deadlines.
uint64_t MonotonicMillis();

}  // namespace qrn::platform
