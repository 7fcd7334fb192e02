#include "security/common/ping.h"

#include <cstring>
#include <string>

#include "platform/os.h"

namespace qrn {

namespace {

constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;
constexpr size_t kHeaderSize = 12;  // type, code, checksum, identifier, sequence, timestamp
constexpr int kDefaultPayload = 32;
constexpr uint8_t kPayloadByte = 0x45;

uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

void Store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }

}  // namespace

size_t EchoPacketSize(int payload_size) {
  const size_t payload = payload_size > 0 ? static_cast<size_t>(payload_size) : kDefaultPayload;
  const size_t size = payload + kHeaderSize;
  return size > kEchoBufferSize ? kEchoBufferSize : size;
}

uint16_t InternetChecksum(const uint8_t* data, size_t size) {
  // Summing 16-bit words as they lie in memory gives the checksum in the same
  // byte order, so storing it back as it is keeps it correct on any machine.
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < size; i += 2) sum += Load16(data + i);
  if (i < size) {
    uint8_t last[2] = {data[i], 0};
    sum += Load16(last);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void BuildEchoRequest(uint8_t* packet, size_t size, uint16_t identifier, uint16_t sequence,
                      uint32_t timestamp) {
  std::memset(packet, 0, size);
  if (size < kHeaderSize) return;
  packet[0] = kEchoRequest;
  packet[1] = 0;
  Store16(packet + 4, identifier);
  Store16(packet + 6, sequence);
  std::memcpy(packet + 8, &timestamp, 4);
  std::memset(packet + kHeaderSize, kPayloadByte, size - kHeaderSize);
  Store16(packet + 2, InternetChecksum(packet, size));
}

bool IsEchoReplyTo(const uint8_t* datagram, size_t size, bool with_ip_header, bool check_identifier,
                   uint16_t identifier, uint16_t sequence) {
  size_t offset = 0;
  if (with_ip_header) {
    if (size < 1) return false;
    offset = static_cast<size_t>(datagram[0] & 0x0F) * 4;
  }
  if (size < offset + 8) return false;
  const uint8_t* icmp = datagram + offset;
  if (icmp[0] != kEchoReply) return false;
  if (check_identifier && Load16(icmp + 4) != identifier) return false;
  return Load16(icmp + 6) == sequence;
}

uint16_t PingHost(const char* host, int payload_size) {
  return PingHost(host, payload_size, platform::IcmpMode::kAny);
}

uint16_t PingHost(const char* host, int payload_size, platform::IcmpMode mode) {
  if (!host) return kHostUnreachable;
  platform::IcmpSocket socket;
  if (!socket.Open(mode)) return kHostUnreachable;
  if (!socket.SetTimeouts(kEchoTimeoutMs)) return kHostUnreachable;
  uint32_t address = 0;
  if (!platform::ResolveIPv4(host, &address)) return kHostUnreachable;

  uint8_t packet[kEchoBufferSize];
  uint8_t reply[kEchoBufferSize];
  const size_t size = EchoPacketSize(payload_size);
  const uint16_t identifier = static_cast<uint16_t>(platform::ProcessId() & 0xFFFF);
  bool failed = false;
  for (int sequence = 0; sequence < kEchoRequests; ++sequence) {
    const uint64_t sent_at = platform::MonotonicMillis();
    BuildEchoRequest(packet, size, identifier, static_cast<uint16_t>(sequence),
                     static_cast<uint32_t>(sent_at));
    platform::IcmpIo io = socket.SendTo(address, packet, size);
    if (io == platform::IcmpIo::kError) return kHostUnreachable;
    if (io == platform::IcmpIo::kTimeout) {
      failed = true;
      continue;
    }
    const uint64_t deadline = sent_at + kEchoTimeoutMs;
    for (;;) {
      const uint64_t now = platform::MonotonicMillis();
      if (now >= deadline) {
        failed = true;
        break;
      }
      size_t received = 0;
      io = socket.Receive(reply, sizeof reply, static_cast<int>(deadline - now), &received);
      if (io == platform::IcmpIo::kError) return kHostUnreachable;
      if (io == platform::IcmpIo::kTimeout) {
        failed = true;
        break;
      }
      if (IsEchoReplyTo(reply, received, !socket.is_datagram(), !socket.is_datagram(), identifier,
                        static_cast<uint16_t>(sequence))) {
        break;
      }
    }
  }
  return failed ? kHostUnreachable : 0;
}

}  // namespace qrn
