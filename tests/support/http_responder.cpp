#include "tests/support/http_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qrn::test {

namespace {

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

// Waits until fd is ready for `events` or the stop pipe is readable.
bool WaitFor(int fd, short events, int stop_fd) {
  pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
  for (;;) {
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN)) return false;
    return true;
  }
}

}  // namespace

std::string HttpRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return "";
}

HttpResponder::HttpResponder(HttpReply fixed)
    : HttpResponder([fixed](const HttpRequest&) { return fixed; }) {}

HttpResponder::HttpResponder(Handler handler) : handler_(std::move(handler)) {
  if (pipe(stop_pipe_) != 0) throw std::runtime_error("pipe failed");
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 64) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("listen failed");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

HttpResponder::~HttpResponder() {
  char one = 1;
  (void)!write(stop_pipe_[1], &one, 1);
  if (acceptor_.joinable()) acceptor_.join();
  for (auto& worker : workers_) worker.join();
  close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

std::string HttpResponder::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HttpRequest> HttpResponder::requests() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requests_;
}

void HttpResponder::AcceptLoop() {
  while (WaitFor(listen_fd_, POLLIN, stop_pipe_[0])) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void HttpResponder::Serve(int fd) {
  std::string buffer;
  char chunk[16384];
  bool open = true;
  while (open) {
    // Read one request: head, then a body of Content-Length bytes.
    size_t head_end;
    while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!WaitFor(fd, POLLIN, stop_pipe_[0])) open = false;
      ssize_t n = open ? recv(fd, chunk, sizeof chunk, 0) : 0;
      if (n <= 0) {
        open = false;
        break;
      }
      buffer.append(chunk, static_cast<size_t>(n));
    }
    if (!open) break;
    HttpRequest request;
    const std::string head = buffer.substr(0, head_end);
    buffer.erase(0, head_end + 4);
    size_t line_end = head.find("\r\n");
    const std::string first = head.substr(0, line_end);
    const size_t sp1 = first.find(' ');
    const size_t sp2 = first.find(' ', sp1 + 1);
    request.method = first.substr(0, sp1);
    request.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    while (line_end != std::string::npos) {
      const size_t next = head.find("\r\n", line_end + 2);
      const std::string line = head.substr(line_end + 2, next - line_end - 2);
      const size_t colon = line.find(':');
      if (colon != std::string::npos) {
        size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ') ++v;
        request.headers.emplace_back(line.substr(0, colon), line.substr(v));
      }
      line_end = next;
    }
    const std::string length_text = request.Header("Content-Length");
    const size_t length = length_text.empty() ? 0 : std::stoul(length_text);
    while (buffer.size() < length && open) {
      if (!WaitFor(fd, POLLIN, stop_pipe_[0])) break;
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0)
        open = false;
      else
        buffer.append(chunk, static_cast<size_t>(n));
    }
    if (!open) break;
    request.body = buffer.substr(0, length);
    buffer.erase(0, length);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      requests_.push_back(request);
    }

    const HttpReply reply = handler_(request);
    if (reply.hang) {
      WaitFor(stop_pipe_[0], POLLIN, stop_pipe_[0]);
      break;
    }
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) +
                      "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n";
    for (const auto& header : reply.headers) out += header + "\r\n";
    out += "\r\n";
    out += reply.body;
    size_t sent = 0;
    while (sent < out.size()) {
      if (!WaitFor(fd, POLLOUT, stop_pipe_[0])) {
        open = false;
        break;
      }
      ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        open = false;
        break;
      }
      sent += static_cast<size_t>(n);
    }
  }
  close(fd);
}

}  // namespace qrn::test
