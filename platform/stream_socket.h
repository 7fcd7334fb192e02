// Stream sockets for the handshake transports and the commands that drive
// them: sending and receiving on a connected socket with a deadline, and
// the TCP listen, accept and connect of the command-line tool.
//
// Sends and receives never block without bound and never change the
// socket's flags: they poll for readiness with the time left, then call
// send/recv with MSG_DONTWAIT, so a host's blocking socket and a
// non-blocking one behave alike. Sends use MSG_NOSIGNAL: a peer that went
// away gives an error, never SIGPIPE in the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qrn::platform {

// Sends all `size` bytes before `timeout_ms` has passed. False on a send
// error, a closed peer or the deadline. `more` tells a TCP socket that more
// data follows at once (MSG_MORE), so the next send joins these bytes
// instead of waiting for their acknowledgement.
bool SendAll(int fd, const void* data, size_t size, uint32_t timeout_ms, bool more = false);

// Waits at most `timeout_ms` for data and receives up to `size` bytes (size
// > 0). Returns the count (> 0), 0 when the peer closed the connection,
// -1 on an error, -2 when nothing arrived in time.
long ReceiveSome(int fd, void* buffer, size_t size, uint32_t timeout_ms);

// A TCP socket listening on host:port (IPv4 or IPv6 literal or name; port 0
// picks a free one). `bound` receives "HOST:PORT" with the port chosen.
// -1 on failure, with `error` saying why.
int ListenTcp(const std::string& host, const std::string& port, std::string* bound,
              std::string* error);
// Accepts one connection, waiting at most timeout_ms; -1 on failure or
// when none came.
int AcceptOne(int listener, uint32_t timeout_ms);
// A TCP connection to host:port, made within timeout_ms; -1 on failure,
// with `error` saying why.
int ConnectTcp(const std::string& host, const std::string& port, uint32_t timeout_ms,
               std::string* error);
void CloseSocket(int fd);

}  // namespace qrn::platform
