#include "tests/support/ntlm_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "qrnauth/qrnauthenticate.h"

namespace qrn::test {
namespace {

const char kAbc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode(const uint8_t* data, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = data[i] << 16 | (i + 1 < n ? data[i + 1] << 8 : 0) | (i + 2 < n ? data[i + 2] : 0);
    out += kAbc[v >> 18];
    out += kAbc[(v >> 12) & 63];
    out += i + 1 < n ? kAbc[(v >> 6) & 63] : '=';
    out += i + 2 < n ? kAbc[v & 63] : '=';
  }
  return out;
}

std::vector<uint8_t> Decode(const std::string& text) {
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    const char* at = c ? std::strchr(kAbc, c) : nullptr;
    if (at == nullptr) break;
    acc = acc << 6 | static_cast<uint32_t>(at - kAbc);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  return out;
}

// Waits up to 10 s for data or the stop pipe; false on stop or timeout.
bool Readable(int fd, int stop) {
  pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
  return poll(p, 2, 10000) > 0 && !(p[1].revents & POLLIN) && (p[0].revents & (POLLIN | POLLHUP));
}

// One request: the head up to the blank line, then Content-Length bytes.
std::string ReadRequest(int fd, int stop) {
  std::string data;
  char buffer[4096];
  size_t end;
  while ((end = data.find("\r\n\r\n")) == std::string::npos) {
    if (data.size() > 65536 || !Readable(fd, stop)) return "";
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return "";
    data.append(buffer, static_cast<size_t>(n));
  }
  size_t length = 0;
  for (const char* key : {"\r\nContent-Length: ", "\r\ncontent-length: "}) {
    size_t at = data.find(key);
    if (at != std::string::npos && at < end)
      length = std::stoul(data.substr(at + std::strlen(key)));
  }
  while (data.size() < end + 4 + length) {
    if (!Readable(fd, stop)) return "";
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return "";
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

std::string Token(const std::string& request) {
  const std::string key = "\r\nAuthorization: NTLM ";
  size_t at = request.find(key);
  if (at == std::string::npos) return "";
  size_t from = at + key.size();
  return request.substr(from, request.find("\r\n", from) - from);
}

std::string Response(const std::string& status, const std::string& headers,
                     const std::string& body) {
  return "HTTP/1.1 " + status + "\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

NtlmHttpServer::NtlmHttpServer(Mode mode, bool slow_writes)
    : mode_(mode), slow_writes_(slow_writes) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 8) != 0 || pipe(stop_pipe_) != 0) {
    return;
  }
  socklen_t len = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Run(); });
}

NtlmHttpServer::~NtlmHttpServer() {
  if (stop_pipe_[1] >= 0) (void)!write(stop_pipe_[1], "x", 1);
  if (thread_.joinable()) thread_.join();
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]})
    if (fd >= 0) close(fd);
}

std::string NtlmHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> NtlmHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> NtlmHttpServer::accepted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

void NtlmHttpServer::Run() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(p, 2, 60000) <= 0 || (p[1].revents & POLLIN)) return;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) return;
    Serve(fd);
    close(fd);
  }
}

bool NtlmHttpServer::Write(int fd, const std::string& data) {
  if (!slow_writes_)
    return send(fd, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
  // Small pieces with pauses, so that the client's receives split the head
  // (also between CR and LF).
  for (size_t i = 0; i < data.size(); i += 5) {
    size_t n = std::min<size_t>(5, data.size() - i);
    if (send(fd, data.data() + i, n, MSG_NOSIGNAL) != ssize_t(n)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void NtlmHttpServer::Serve(int fd) {
  CQRNAuthenticate acceptor;
  _AUTH_SEQ conversation{};
  conversation.newConversation = 1;
  struct Release {
    CQRNAuthenticate& a;
    _AUTH_SEQ& c;
    ~Release() { a.RpcReleaseConversation(&c); }
  } release{acceptor, conversation};
  const std::string scheme = mode_ == Mode::kNegotiate ? "Negotiate" : "NTLM";
  for (;;) {
    std::string request = ReadRequest(fd, stop_pipe_[0]);
    if (request.empty()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    switch (mode_) {
      case Mode::kStall:
        Readable(stop_pipe_[0], stop_pipe_[0]);  // until the test ends
        return;
      case Mode::kOkAtOnce:
        if (!Write(fd, Response("200 OK", "", "at once"))) return;
        continue;
      case Mode::kHugeHead:
        if (!Write(fd, Response("401 Unauthorized",
                                "X-Filler: " + std::string(9000, 'a') + "\r\n" +
                                    "WWW-Authenticate: NTLM\r\n",
                                ""))) {
          return;
        }
        continue;
      default:
        break;
    }
    std::string token = Token(request);
    if (token.empty()) {
      if (!Write(fd, Response("401 Unauthorized", "WWW-Authenticate: NTLM\r\n", "who?\n"))) return;
      continue;
    }
    std::vector<uint8_t> in = Decode(token), out(4096);
    uint32_t out_length = static_cast<uint32_t>(out.size());
    bool done = false;
    if (in.empty() || !acceptor.RpcAuthenticationServer(&conversation, in.data(),
                                                        static_cast<uint32_t>(in.size()),
                                                        out.data(), &out_length, &done)) {
      Write(fd, Response("403 Forbidden", "", "refused\n"));
      return;
    }
    if (done) {
      char domain[256], user[256];
      std::string name;
      if (acceptor.RpcGetClientIdentity(&conversation, domain, user)) {
        name = std::string(domain) + "\\" + user;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        accepted_.push_back(name);
      }
      acceptor.RpcReleaseConversation(&conversation);
      if (!Write(fd, Response("200 OK", "", "hello " + name))) return;
      continue;
    }
    std::string challenge =
        "WWW-Authenticate: Basic realm=\"test\"\r\nWWW-Authenticate: " + scheme + " " +
        Encode(out.data(), out_length) + "\r\n";
    if (mode_ == Mode::kCloseAfterChallenge) {
      Write(fd, "HTTP/1.0 401 Unauthorized\r\n" + challenge + "\r\nno length here\n");
      return;
    }
    if (!Write(fd, Response("401 Unauthorized", challenge, "challenge follows\n"))) return;
  }
}

}  // namespace qrn::test
