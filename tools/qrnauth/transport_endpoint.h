// Helpers shared by the transport commands (socket-server, socket-client,
// http-auth): HOST:PORT and URL parsing, the password, the verdict frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "qrnauth/qrnauthenticate.h"
#include "command.h"

namespace qrn::cli {

struct Endpoint {
  std::string host;
  std::string port;
};
// "HOST:PORT" or "[V6]:PORT"; throws UsageError.
Endpoint ParseEndpoint(const std::string& text);

// "http://HOST[:PORT][/PATH]": the endpoint (port 80 by default) and the
// request target (the path and query, "/" when empty); throws UsageError.
Endpoint ParseHttpUrl(const std::string& url, std::string* target);

// --timeout MS sets the transport timeout of the process.
void ApplyTimeoutOption(Arguments& args);

// With --user: reads the password from standard input and puts domain,
// user and password into the process credential record. Throws
// CommandError when they are refused.
void ApplyCredentials(CQRNAuthenticate& auth, const std::optional<std::string>& domain,
                      const std::optional<std::string>& user);

// After a socket handshake the server command sends its verdict as one more
// frame ("authenticated DOMAIN\user" or "denied"), so that the client
// command, whose own side completes without hearing the server's last step,
// can tell acceptance from refusal.
bool SendVerdict(int fd, const std::string& verdict);
// The verdict frame, or nullopt when the peer closed without one.
std::optional<std::string> ReceiveVerdict(int fd);

}  // namespace qrn::cli
