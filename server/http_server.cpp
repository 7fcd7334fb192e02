#include "server/http_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace qrn::secd {

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
  int fd = -1;
  std::string in;  // received, not yet answered: at most one head's worth
  HeadScanner scanner;
  std::string out;  // the answer being written
  size_t out_done = 0;
  bool close_after = false;  // close once `out` has gone out
  bool lingering = false;    // answer sent, discarding input until the client closes
  bool peer_closed = false;  // the client will send nothing more
  bool dead = false;
  Clock::time_point head_started, idle_since, write_progress, linger_until;

  ~Connection() {
    if (fd >= 0) close(fd);
  }
};

std::string ErrorPage(int status) {
  return std::string("<html><body><h1>error: ") + ReasonPhrase(status) +
         "</h1></body></html>\n";
}

void Queue(Connection* c, int status, const std::string& content_type, const std::string& body,
           bool head_only, bool close, bool http10_keep_alive) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  if (!content_type.empty()) head += "Content-Type: " + content_type + "\r\n";
  head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (close)
    head += "Connection: close\r\n";
  else if (http10_keep_alive)
    head += "Connection: keep-alive\r\n";
  head += "\r\n";
  c->out = std::move(head);
  if (!head_only) c->out += body;
  c->out_done = 0;
  c->close_after = close;
  c->write_progress = Clock::now();
}

void QueueError(Connection* c, int status) {
  Queue(c, status, "text/html; charset=utf-8", ErrorPage(status), false, true, false);
}

// Writes what the socket takes now. False when the connection is broken.
bool Flush(Connection* c) {
  while (c->out_done < c->out.size()) {
    const ssize_t n =
        send(c->fd, c->out.data() + c->out_done, c->out.size() - c->out_done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    c->out_done += static_cast<size_t>(n);
    c->write_progress = Clock::now();
  }
  std::string().swap(c->out);
  c->out_done = 0;
  const auto now = Clock::now();
  if (c->close_after) {
    // Say we are done, then keep reading for a while: closing with unread
    // input would reset the connection and could destroy the answer.
    shutdown(c->fd, SHUT_WR);
    c->lingering = true;
    c->linger_until = now + kLingerTime;
    std::string().swap(c->in);
  } else {
    c->idle_since = now;
  }
  return true;
}

}  // namespace

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

HttpServer::HttpServer(Handler handler) : handler_(std::move(handler)) {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

HttpServer::~HttpServer() {
  if (listener_ >= 0) close(listener_);
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

int HttpServer::Listen(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  int saved = EADDRNOTAVAIL;
  for (addrinfo* a = found; a != nullptr && listener_ < 0; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      saved = errno;
      continue;
    }
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 512) != 0) {
      saved = errno;
      close(fd);
      continue;
    }
    listener_ = fd;
  }
  freeaddrinfo(found);
  if (listener_ < 0) {
    errno = saved;
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
  return bound.ss_family == AF_INET6
             ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
             : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

void HttpServer::Run() {
  std::vector<std::thread> others;
  for (int i = 1; i < kLoopThreads; ++i) others.emplace_back([this] { Loop(); });
  Loop();
  for (auto& t : others) t.join();
}

void HttpServer::Stop() {
  stopping_ = true;
  // Stop listening now, not when the process exits: a connection made while
  // the answers under way finish would otherwise sit unanswered in the
  // backlog until then. Refused at once, a client falls back and a load
  // balancer retries elsewhere. (The descriptor stays open for the loops.)
  if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
  if (wake_[1] >= 0) (void)!write(wake_[1], "x", 1);
}

void HttpServer::Loop() {
  std::vector<std::unique_ptr<Connection>> conns;
  std::vector<pollfd> fds;
  Clock::time_point accept_pause{};  // after a failed accept (no descriptors left, say)
  const auto refuse = [this](Connection* c, int status) {
    QueueError(c, status);
    if (on_refused_) on_refused_(status);
  };

  // Answers the complete heads in `in`, one at a time, as long as the
  // previous answer has gone out.
  const auto process = [&](Connection* c) {
    bool partial = false;  // the rest of a head is still to come
    while (!partial && !c->dead && !c->lingering && c->out.empty() && !c->in.empty()) {
      switch (c->scanner.Scan(c->in)) {
        case HeadScanner::State::kMore:
          partial = true;
          continue;
        case HeadScanner::State::kLineTooLong:
          refuse(c, c->scanner.first_line() ? 414 : 431);
          break;
        case HeadScanner::State::kHeadTooLong:
          refuse(c, 431);
          break;
        case HeadScanner::State::kComplete: {
          HttpRequest request;
          const int refused =
              ParseHead(std::string_view(c->in).substr(0, c->scanner.head_size()), &request);
          c->in.erase(0, c->scanner.head_size());
          c->scanner.Reset();
          c->head_started = Clock::now();  // the next pipelined head starts now
          if (refused != 0) {
            refuse(c, refused);
            break;
          }
          HttpAnswer answer;
          try {
            answer = handler_(request);
          } catch (const std::exception& e) {
            std::fprintf(stderr, "qrnsecd: request failed: %s\n", e.what());
            answer = {500, "text/html; charset=utf-8", ErrorPage(500)};
          }
          // A body is never read: the connection cannot go on after it.
          const bool close = !request.keep_alive || request.has_body || stopping_.load();
          Queue(c, answer.status, answer.content_type, answer.body, request.method == "HEAD",
                close, request.minor_version == 0 && !close);
          break;
        }
      }
      if (!Flush(c)) c->dead = true;
    }
    // A client that has shut down its sending side gets every answer it
    // asked for in full; then the connection ends.
    if (c->peer_closed && c->out.empty() && !c->lingering) c->dead = true;
  };

  for (;;) {
    const bool stopping = stopping_.load();
    if (stopping) {
      // Idle connections and unfinished heads go now; answers being
      // written and lingering closes run to their end.
      for (auto& c : conns)
        if (c->out.empty() && !c->lingering) c->dead = true;
    }
    std::erase_if(conns, [](const auto& c) { return c->dead; });
    if (stopping && conns.empty()) return;

    fds.clear();
    fds.push_back({wake_[0], POLLIN, 0});
    const bool accepting =
        !stopping && conns.size() < kMaxConnectionsPerLoop && Clock::now() >= accept_pause;
    fds.push_back({accepting ? listener_ : -1, POLLIN, 0});
    auto next = Clock::now() + (accepting ? std::chrono::milliseconds(1000)
                                          : std::chrono::milliseconds(100));
    for (auto& c : conns) {
      short events = 0;
      if (!c->out.empty()) {
        events = POLLOUT;
        next = std::min(next, c->write_progress + kWriteTimeout);
      } else if (c->lingering) {
        events = POLLIN;
        next = std::min(next, c->linger_until);
      } else {
        events = POLLIN;
        next = std::min(next, c->in.empty() ? c->idle_since + kIdleTimeout
                                            : c->head_started + kHeadDeadline);
      }
      fds.push_back({c->fd, events, 0});
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
    const int ready =
        poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(wait.count(), 0) + 1));
    if (ready < 0 && errno != EINTR) {
      std::perror("qrnsecd: poll");
      return;
    }
    const auto now = Clock::now();

    // Connections first: fds[i + 2] belongs to conns[i], and accepting adds
    // to conns.
    for (size_t i = 0; i < conns.size() && ready > 0; ++i) {
      Connection* c = conns[i].get();
      const short revents = fds[i + 2].revents;
      if (revents == 0) continue;
      if (revents & POLLOUT) {
        if (!Flush(c)) {
          c->dead = true;
          continue;
        }
        process(c);
        continue;
      }
      if (!(revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char chunk[16384];
      size_t discarded = 0;
      for (;;) {
        // Never hold more than one head plus one chunk.
        if (!c->lingering && c->in.size() > kMaxHead) break;
        const ssize_t n = recv(c->fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0 || (n == 0 && c->lingering)) {
          c->dead = true;
          break;
        }
        if (c->lingering) {
          // Discarded; a client that keeps sending must not hold the loop.
          discarded += static_cast<size_t>(n);
          if (discarded >= kMaxHead * 16) break;
          continue;
        }
        if (n == 0) {
          c->peer_closed = true;
          break;
        }
        if (c->in.empty()) c->head_started = now;
        c->in.append(chunk, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof chunk) break;
      }
      if (c->dead) continue;
      process(c);
    }

    // Deadlines.
    for (auto& c : conns) {
      if (c->dead) continue;
      if (!c->out.empty()) {
        if (now - c->write_progress > kWriteTimeout) c->dead = true;
      } else if (c->lingering) {
        if (now >= c->linger_until) c->dead = true;
      } else if (c->in.empty()) {
        if (now - c->idle_since > kIdleTimeout) c->dead = true;
      } else if (now - c->head_started > kHeadDeadline) {
        refuse(c.get(), 408);
        if (!Flush(c.get())) c->dead = true;
      }
    }

    if (accepting && (fds[1].revents & POLLIN)) {
      while (conns.size() < kMaxConnectionsPerLoop) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
          // EAGAIN: another loop took it. Anything else (EMFILE...) would
          // wake this loop at once again: wait a little before retrying.
          if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            accept_pause = now + std::chrono::milliseconds(100);
          break;
        }
        const int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->idle_since = c->head_started = now;
        conns.push_back(std::move(c));
      }
    }
  }
}

}  // namespace qrn::secd
