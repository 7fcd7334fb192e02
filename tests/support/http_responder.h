// Test support: a small HTTP/1.1 responder on 127.0.0.1 with canned answers.
//
// It listens on a free loopback port, serves each connection on a thread of
// its own (keep-alive: several requests per connection) and answers each
// request with what the handler returns. A reply with `hang` set reads the
// request and never answers, until the responder goes away. The destructor
// stops every thread and closes every socket.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qrn::test {

struct HttpRequest {
  std::string method;
  std::string target;  // path and query as sent
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string Header(const std::string& name) const;  // case-insensitive; "" when absent
};

struct HttpReply {
  int status = 200;
  std::string body;
  std::vector<std::string> headers;  // extra "Name: value" lines
  bool hang = false;
};

class HttpResponder {
 public:
  using Handler = std::function<HttpReply(const HttpRequest&)>;
  explicit HttpResponder(Handler handler);
  explicit HttpResponder(HttpReply fixed);
  ~HttpResponder();
  HttpResponder(const HttpResponder&) = delete;
  HttpResponder& operator=(const HttpResponder&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + path
  std::string url(const std::string& path = "/") const;
  std::vector<HttpRequest> requests() const;
  int connections() const { return connections_.load(); }

 private:
  void AcceptLoop();
  void Serve(int fd);

  Handler handler_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<HttpRequest> requests_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace qrn::test
