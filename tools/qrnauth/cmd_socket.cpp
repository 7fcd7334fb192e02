// qrnauth socket-server and socket-client: the two sides of the socket
// transport between two processes.
#include <iostream>
#include <optional>
#include <string>

#include "qrnauth/admin.h"
#include "qrnauth/qrnauthenticate.h"
#include "command.h"
#include "transport_endpoint.h"

namespace {

// Closes the socket when the command ends.
struct Socket {
  int fd = -1;
  ~Socket() { qrn::admin::CloseSocket(fd); }
};

int SocketServer(qrn::cli::Arguments& args) {
  qrn::cli::Endpoint listen = qrn::cli::ParseEndpoint(args.RequiredOption("--listen"));
  std::optional<std::string> wait = args.Option("--accept-timeout");
  bool impersonate = args.Flag("--impersonate");
  qrn::cli::ApplyTimeoutOption(args);
  args.Finish();
  unsigned long accept_seconds = 300;
  if (wait) {
    char* end = nullptr;
    accept_seconds = std::strtoul(wait->c_str(), &end, 10);
    if (wait->empty() || *end != '\0' || accept_seconds == 0 || accept_seconds > 86400) {
      throw qrn::cli::UsageError("--accept-timeout takes seconds from 1 to 86400");
    }
  }

  std::string bound, error;
  Socket listener;
  listener.fd = qrn::admin::ListenTcp(listen.host, listen.port, &bound, &error);
  if (listener.fd < 0)
    throw qrn::cli::CommandError("cannot listen on " + listen.host + ":" + listen.port + ": " +
                                 error);
  std::cout << "listening " << bound << std::endl;
  Socket peer;
  peer.fd = qrn::admin::AcceptOne(listener.fd, static_cast<uint32_t>(accept_seconds * 1000));
  if (peer.fd < 0) throw qrn::cli::CommandError("no connection came");

  CQRNAuthenticate auth;
  bool ok = auth.SocketAuthenticationServer(static_cast<uint32_t>(peer.fd));
  char domain[256], user[256];
  std::string verdict = "denied";
  if (ok && auth.GetClientIdentity(domain, user)) {
    verdict = std::string("authenticated ") + (domain[0] ? std::string(domain) + "\\" : "") + user;
  } else if (ok) {
    verdict = "authenticated";
  }
  qrn::cli::SendVerdict(peer.fd, verdict);
  std::cout << verdict << std::endl;
  if (ok && impersonate) {
    // This thread acts as the client for a moment: who does it run as?
    if (!auth.ImpersonateContext()) {
      throw qrn::cli::CommandError(
          "cannot impersonate the client (no account of that name, or no privilege to switch "
          "ids)");
    }
    char as_domain[256] = {}, as_user[256] = {};
    bool known = CQRNAuthenticate::GetCurrentUserInfo(as_domain, as_user);
    bool reverted = auth.RevertContext();
    std::cout << "whoami " << (known ? std::string(as_domain) + "\\" + as_user : "(unknown)")
              << std::endl;
    if (!reverted) throw qrn::cli::CommandError("cannot take back the process's own ids");
  }
  return ok ? qrn::cli::kExitOk : qrn::cli::kExitNo;
}

int SocketClient(qrn::cli::Arguments& args) {
  qrn::cli::Endpoint server = qrn::cli::ParseEndpoint(args.Next("HOST:PORT"));
  std::optional<std::string> domain = args.Option("--domain");
  std::optional<std::string> user = args.Option("--user");
  qrn::cli::ApplyTimeoutOption(args);
  args.Finish();
  CQRNAuthenticate auth;
  qrn::cli::ApplyCredentials(auth, domain, user);

  std::string error;
  Socket peer;
  peer.fd = qrn::admin::ConnectTcp(server.host, server.port,
                                      CQRNAuthenticate::GetTransportTimeout(), &error);
  if (peer.fd < 0) {
    throw qrn::cli::CommandError("cannot connect to " + server.host + ":" + server.port + ": " +
                                 error);
  }
  bool ok = auth.SocketAuthenticationClient(static_cast<uint32_t>(peer.fd));
  if (ok) {
    // Our side is complete; the server's verdict, when it sends one, decides.
    std::optional<std::string> verdict = qrn::cli::ReceiveVerdict(peer.fd);
    if (verdict && verdict->rfind("authenticated", 0) != 0) ok = false;
  }
  std::cout << (ok ? "authenticated" : "denied") << std::endl;
  return ok ? qrn::cli::kExitOk : qrn::cli::kExitNo;
}

}  // namespace

QRN_CLI_COMMAND("socket-server", "accept one NTLM socket handshake",
                "usage: qrnauth socket-server --listen HOST:PORT [--impersonate]\n"
                "                             [--accept-timeout SECONDS] [--timeout MS]\n"
                "Listens on HOST:PORT (port 0 picks a free one) and prints \"listening\n"
                "HOST:PORT\" first. Accepts one connection (waiting at most\n"
                "--accept-timeout seconds, default 300) and runs the server side of the\n"
                "socket transport: frames of a 4-byte little-endian length and an NTLM\n"
                "token. Then sends its verdict to the client as one more frame and prints\n"
                "it: \"authenticated DOMAIN\\user\" (exit 0) or \"denied\" (exit 1).\n"
                "The acceptor verifies through winbind or the NTLM_USER_FILE.\n"
                "--impersonate then makes the thread act as the client's account (NSS;\n"
                "needs root or CAP_SETUID and CAP_SETGID), prints \"whoami DOMAIN\\user\"\n"
                "of the thread and takes its own ids back (exit 2 when that fails).\n"
                "--timeout is the longest wait for the peer in milliseconds (default\n"
                "60000).",
                SocketServer);

QRN_CLI_COMMAND("socket-client", "run the client side of an NTLM socket handshake",
                "usage: qrnauth socket-client HOST:PORT [--domain D --user U] [--timeout MS]\n"
                "Connects to HOST:PORT and runs the client side of the socket transport.\n"
                "With --user the password is read from standard input; without, the\n"
                "current logon's credentials are used. Prints \"authenticated\" (exit 0) or\n"
                "\"denied\" (exit 1). The handshake's own answer counts unless the server\n"
                "then sends a verdict frame that does not start with \"authenticated\".\n"
                "--timeout is the longest wait for the peer in milliseconds (default\n"
                "60000).",
                SocketClient);
