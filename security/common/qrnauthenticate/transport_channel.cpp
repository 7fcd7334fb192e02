// The socket channel, the transport timeout and the socket frames.
#include "security/common/qrnauthenticate/transport_channel.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/os.h"
#include "platform/stream_socket.h"
#include "qrnauth/qrnauthenticate.h"

namespace qrn {
namespace {

std::atomic<uint32_t> transport_timeout{kDefaultTransportTimeoutMs};

}  // namespace

uint32_t TransportTimeout() { return transport_timeout.load(std::memory_order_relaxed); }

SocketChannel::SocketChannel(int fd) : fd_(fd), deadline_(0) { Restart(); }

void SocketChannel::Restart() { deadline_ = platform::CoarseMillis() + TransportTimeout(); }

uint32_t SocketChannel::Left() const {
  uint64_t now = platform::CoarseMillis();
  return now >= deadline_ ? 0 : static_cast<uint32_t>(deadline_ - now);
}

long SocketChannel::Receive(uint8_t* buffer, size_t size) {
  return platform::ReceiveSome(fd_, buffer, size, Left());
}

bool SocketChannel::Send(const uint8_t* data, size_t size) {
  return platform::SendAll(fd_, data, size, Left());
}

bool SocketChannel::SendPart(const uint8_t* data, size_t size) {
  return platform::SendAll(fd_, data, size, Left(), true);
}

bool ReceiveBytes(ByteChannel& channel, uint8_t* buffer, uint32_t length, uint32_t* received) {
  uint32_t got = 0;
  while (got < length) {
    long n = channel.Receive(buffer + got, length - got);
    if (n < 0) return false;
    if (n == 0) break;  // the peer closed: report what came
    got += static_cast<uint32_t>(n);
  }
  *received = got;
  return true;
}

bool ReceiveFrame(ByteChannel& channel, uint8_t* buffer, uint32_t capacity, uint32_t* length) {
  uint8_t prefix[4];
  uint32_t got = 0;
  if (!ReceiveBytes(channel, prefix, sizeof prefix, &got) || got != sizeof prefix) return false;
  uint32_t n;
  std::memcpy(&n, prefix, sizeof n);
  // A length the buffer cannot hold is refused before any of its bytes is
  // read: the peer cannot make us write past the buffer or wait for them.
  if (n > capacity) return false;
  if (!ReceiveBytes(channel, buffer, n, &got) || got != n) return false;
  *length = n;
  return true;
}

bool SendFrame(ByteChannel& channel, const uint8_t* token, uint32_t length) {
  if (length == 0) return true;
  // Length and token leave in one send: as two, the token would wait on a
  // TCP connection for the acknowledgement of the 4 length bytes (Nagle's
  // algorithm against the peer's delayed acknowledgement, about 40 ms).
  std::vector<uint8_t> frame(sizeof length + static_cast<size_t>(length));
  std::memcpy(frame.data(), &length, sizeof length);
  std::memcpy(frame.data() + sizeof length, token, length);
  return channel.Send(frame.data(), frame.size());
}

}  // namespace qrn

void CQRNAuthenticate::SetTransportTimeout(uint32_t milliseconds) {
  qrn::transport_timeout.store(milliseconds == 0 ? qrn::kDefaultTransportTimeoutMs : milliseconds,
                               std::memory_order_relaxed);
}

uint32_t CQRNAuthenticate::GetTransportTimeout() { return qrn::TransportTimeout(); }
