// The reachability test: ICMP echo to a host, four requests, 1 s each.
//
// Packet (16- and 32-bit fields in the machine's byte order): type 8, code 0,
// RFC 1071 checksum, identifier = low 16 bits of the process id, sequence 0..3,
// a 32-bit millisecond timestamp, then the payload byte 'E' repeated. Size:
// payload + 12 when the payload is above 0, else 44 bytes; never more than
// the 1024-byte packet buffer.
//
// A request counts as answered only by an echo reply that carries its
// identifier (on a raw socket) and its sequence number; other ICMP traffic the
// socket sees (our own request on loopback, replies to other processes) is
// skipped while the request's second runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/icmp.h"

namespace qrn {

constexpr uint16_t kHostUnreachable = 0xFFFF;
constexpr size_t kEchoBufferSize = 1024;
constexpr int kEchoTimeoutMs = 1000;
constexpr int kEchoRequests = 4;

size_t EchoPacketSize(int payload_size);

// RFC 1071 Internet checksum of data (an odd last byte is padded with 0).
uint16_t InternetChecksum(const uint8_t* data, size_t size);

// Writes an echo request of `size` bytes (see above) into packet, checksum
// included.
void BuildEchoRequest(uint8_t* packet, size_t size, uint16_t identifier, uint16_t sequence,
                      uint32_t timestamp);

// True when the datagram is the echo reply to (identifier, sequence). With
// an IP header the header is skipped first; check_identifier is false on a
// datagram socket, whose identifier the kernel rewrote.
bool IsEchoReplyTo(const uint8_t* datagram, size_t size, bool with_ip_header, bool check_identifier,
                   uint16_t identifier, uint16_t sequence);

// 0 when the host answered all four requests, kHostUnreachable when one went
// unanswered or the test could not run.
uint16_t PingHost(const char* host, int payload_size);
uint16_t PingHost(const char* host, int payload_size, platform::IcmpMode mode);

}  // namespace qrn
