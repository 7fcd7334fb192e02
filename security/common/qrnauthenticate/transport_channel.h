// The byte stream under the socket and HTTP transports, and the socket
// transport's frames: a 4-byte length in the machine's (little-endian) order
// followed by the token.
//
// The readers work on a ByteChannel rather than on a socket, so that the
// fuzz targets and tests can feed them any split of any bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrn {

class ByteChannel {
 public:
  virtual ~ByteChannel() = default;
  // Up to `size` bytes (size > 0): the count, 0 when the peer closed the
  // connection, negative on an error or when nothing came in time.
  virtual long Receive(uint8_t* buffer, size_t size) = 0;
  // All `size` bytes, or false.
  virtual bool Send(const uint8_t* data, size_t size) = 0;
  // The same, with more bytes to follow at once: a TCP channel holds these
  // back for the next send rather than let it wait for their
  // acknowledgement.
  virtual bool SendPart(const uint8_t* data, size_t size) { return Send(data, size); }
};

// A connected stream socket with a deadline: everything sent and received
// through one channel must be done within the transport timeout from its
// making (or from the latest Restart); after that every call fails.
class SocketChannel : public ByteChannel {
 public:
  explicit SocketChannel(int fd);
  long Receive(uint8_t* buffer, size_t size) override;
  bool Send(const uint8_t* data, size_t size) override;
  bool SendPart(const uint8_t* data, size_t size) override;
  // A new deadline, one transport timeout from now.
  void Restart();

 private:
  uint32_t Left() const;  // milliseconds to the deadline, 0 when past
  int fd_;
  uint64_t deadline_;
};

// The transport timeout of the process in milliseconds (see
// CQRNAuthenticate::SetTransportTimeout).
uint32_t TransportTimeout();
constexpr uint32_t kDefaultTransportTimeoutMs = 60000;

// Receives until `length` bytes have arrived or the peer closed the
// connection; *received tells how many came. False on a receive error or
// timeout.
bool ReceiveBytes(ByteChannel& channel, uint8_t* buffer, uint32_t length, uint32_t* received);
// One frame into buffer. False when the length does not arrive whole, when
// it is larger than `capacity` (refused before any token byte is read), or
// when the token does not arrive whole.
bool ReceiveFrame(ByteChannel& channel, uint8_t* buffer, uint32_t capacity, uint32_t* length);
// One frame; a token of length 0 sends nothing and succeeds.
bool SendFrame(ByteChannel& channel, const uint8_t* token, uint32_t length);

}  // namespace qrn
