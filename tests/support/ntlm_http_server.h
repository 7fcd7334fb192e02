// Test support: a loopback HTTP server (127.0.0.1, a free port) that
// authenticates its clients with NTLM through our own acceptor, one RPC
// server conversation per connection, as a site's web server would.
//
// Requests carry "Authorization: NTLM <base64>"; a request without one is
// answered 401 with a bare "WWW-Authenticate: NTLM". Challenges go out in a
// 401 whose head carries a Basic header first and the NTLM one last, with a
// small body and its Content-Length; an accepted client gets 200 with
// "hello DOMAIN\user"; a refused one 403, and the connection is closed.
// Connections are served one after another; the destructor ends everything.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qrn::test {

class NtlmHttpServer {
 public:
  enum class Mode {
    kNtlm,                 // the exchange described above
    kNegotiate,            // the same, the challenge under the scheme "Negotiate"
    kOkAtOnce,             // 200 to every request, without looking at it
    kHugeHead,             // 401 with a head of more than 8192 bytes
    kStall,                // reads the request and never answers
    kCloseAfterChallenge,  // the challenge without Content-Length, then closes
  };
  explicit NtlmHttpServer(Mode mode, bool slow_writes = false);
  ~NtlmHttpServer();
  NtlmHttpServer(const NtlmHttpServer&) = delete;
  NtlmHttpServer& operator=(const NtlmHttpServer&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& path = "/") const;
  // Request heads (and bodies, after the blank line) in the order received.
  std::vector<std::string> requests() const;
  // "DOMAIN\user" of every accepted client.
  std::vector<std::string> accepted() const;

 private:
  void Run();
  void Serve(int fd);
  bool Write(int fd, const std::string& data);

  Mode mode_;
  bool slow_writes_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_, accepted_;
  std::thread thread_;
};

}  // namespace qrn::test
