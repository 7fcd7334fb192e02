// qrnauth http-auth: NTLM to an HTTP server through HttpAuthenticationClient
// on a socket of our own.
#include <iostream>
#include <optional>
#include <string>

#include "qrnauth/admin.h"
#include "qrnauth/qrnauthenticate.h"
#include "command.h"
#include "transport_endpoint.h"

namespace {

int HttpAuth(qrn::cli::Arguments& args) {
  std::string url = args.Next("URL");
  std::optional<std::string> domain = args.Option("--domain");
  std::optional<std::string> user = args.Option("--user");
  std::string verb = args.Option("--verb").value_or("GET");
  std::string body = args.Option("--data").value_or("");
  qrn::cli::ApplyTimeoutOption(args);
  args.Finish();
  std::string target;
  qrn::cli::Endpoint server = qrn::cli::ParseHttpUrl(url, &target);
  if (verb.empty() || verb.find_first_of(" \r\n") != std::string::npos) {
    throw qrn::cli::UsageError("--verb must be one word");
  }
  CQRNAuthenticate auth;
  qrn::cli::ApplyCredentials(auth, domain, user);

  std::string error;
  int fd = qrn::admin::ConnectTcp(server.host, server.port,
                                     CQRNAuthenticate::GetTransportTimeout(), &error);
  if (fd < 0) {
    throw qrn::cli::CommandError("cannot connect to " + server.host + ":" + server.port + ": " +
                                 error);
  }
  bool ok = auth.HttpAuthenticationClient(static_cast<uint32_t>(fd), verb.c_str(), target.c_str(),
                                          body.c_str(), static_cast<uint32_t>(body.size()));
  qrn::admin::CloseSocket(fd);
  std::cout << (ok ? "authenticated" : "denied") << std::endl;
  return ok ? qrn::cli::kExitOk : qrn::cli::kExitNo;
}

}  // namespace

QRN_CLI_COMMAND("http-auth", "authenticate to an HTTP server with NTLM",
                "usage: qrnauth http-auth URL [--domain D --user U] [--verb VERB]\n"
                "                         [--data BODY] [--timeout MS]\n"
                "Connects to the host and port of an http:// URL and repeats one\n"
                "HTTP/1.0 request (VERB, default GET, on the URL's path, with BODY when\n"
                "given) with \"Authorization: NTLM\" until the server answers 200. With\n"
                "--user the password is read from standard input; without, the current\n"
                "logon's credentials are used (a user without --domain also uses them).\n"
                "Prints \"authenticated\" (exit 0) or \"denied\" (exit 1). --timeout is\n"
                "the longest wait for the server in milliseconds (default 60000).",
                HttpAuth);
