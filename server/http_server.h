// qrnsecd's HTTP/1.1 layer: a few event-loop threads, each watching its own
// connections with poll(), so a slow or idle client costs a descriptor and a
// small buffer, never a thread.
//
// Per connection:
//   - a head is at most 8 KiB per line and 64 KiB in all (else 431, or 414
//     for the request line) and must arrive whole within kHeadDeadline of its
//     first byte (else 408); an idle keep-alive connection is closed after
//     kIdleTimeout; an answer that makes no progress for kWriteTimeout is
//     dropped with its connection;
//   - requests are answered one after the other in the order they came, so
//     pipelined requests get their answers in order; the next request is read
//     only once the previous answer has gone out;
//   - a request with a body (qrnsecd takes none) and every refused head is
//     answered with "Connection: close", then the connection is closed after
//     reading and discarding what the client still sends, for at most
//     kLingerTime, so that the client sees the answer rather than a reset.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "server/http_head.h"

namespace qrn::secd {

constexpr std::chrono::seconds kHeadDeadline{10};
constexpr std::chrono::seconds kIdleTimeout{5};
constexpr std::chrono::seconds kWriteTimeout{5};
constexpr std::chrono::seconds kLingerTime{2};
constexpr int kLoopThreads = 4;
constexpr size_t kMaxConnectionsPerLoop = 512;

struct HttpAnswer {
  int status = 200;
  std::string content_type;
  std::string body;
};

class HttpServer {
 public:
  // Runs on a loop thread; must be safe to call from several at once.
  using Handler = std::function<HttpAnswer(const HttpRequest&)>;

  explicit HttpServer(Handler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens; port 0 picks a free one. The port bound, or -1 with
  // errno set.
  int Listen(const std::string& host, int port);

  // Serves until Stop(); then stops listening (new connections are refused),
  // finishes the answers already being written (at most kWriteTimeout without
  // progress), closes the idle connections and returns.
  void Run();

  // Safe from any thread, also before Run().
  void Stop();

  // Called on a loop thread with the status of every head this layer refuses
  // itself (400, 408, 414, 431, 505), which never reaches the handler. Set
  // before Run().
  void OnRefused(std::function<void(int status)> observer) { on_refused_ = std::move(observer); }

 private:
  void Loop();

  Handler handler_;
  std::function<void(int)> on_refused_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};  // a pipe: a byte in it means "stop"
  std::atomic<bool> stopping_{false};
};

// The reason phrase of a status this server answers with.
const char* ReasonPhrase(int status);

}  // namespace qrn::secd
