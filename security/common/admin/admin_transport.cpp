// The administration interface's sockets and frames, for running the socket
// and HTTP transports between two processes by hand, and the NT hash that
// NTLM user files keep.
#include <optional>
#include <string>
#include <vector>

#include "platform/nt_hash.h"
#include "platform/stream_socket.h"
#include "qrnauth/admin.h"
#include "security/common/qrnauthenticate/transport_channel.h"

namespace qrn::admin {

static_assert(kNtHashSize == platform::kNtHashSize);

int ConnectTcp(const std::string& host, const std::string& port, uint32_t timeout_ms,
               std::string* error) {
  return platform::ConnectTcp(host, port, timeout_ms, error);
}

int ListenTcp(const std::string& host, const std::string& port, std::string* bound,
              std::string* error) {
  return platform::ListenTcp(host, port, bound, error);
}

int AcceptOne(int listener, uint32_t timeout_ms) {
  return platform::AcceptOne(listener, timeout_ms);
}

void CloseSocket(int fd) { platform::CloseSocket(fd); }

bool SendFrame(int fd, std::string_view payload) {
  SocketChannel channel(fd);
  return qrn::SendFrame(channel, reinterpret_cast<const uint8_t*>(payload.data()),
                        static_cast<uint32_t>(payload.size()));
}

std::optional<std::string> ReceiveFrame(int fd, uint32_t max_bytes) {
  SocketChannel channel(fd);
  std::vector<uint8_t> bytes(max_bytes);
  uint32_t length = 0;
  if (!qrn::ReceiveFrame(channel, bytes.data(), max_bytes, &length)) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes.data()), length);
}

bool NtHash(std::string_view password, uint8_t (&hash)[kNtHashSize]) {
  return platform::ComputeNtHash(password, hash);
}

}  // namespace qrn::admin
