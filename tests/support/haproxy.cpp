#include "tests/support/haproxy.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qrn::test {

namespace {

using Clock = std::chrono::steady_clock;

const char* const kProgram = "/usr/sbin/haproxy";

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// The example configuration with this test's front end, check interval,
// admin socket and servers.
std::string MakeConfig(int port, const std::vector<int>& backends,
                       std::chrono::milliseconds interval, const std::string& socket_path) {
  std::istringstream example(ReadFile(SourceDir() + "/examples/site/haproxy.cfg"));
  std::string out, line;
  const std::string inter = "inter " + std::to_string(interval.count()) + "ms";
  while (std::getline(example, line)) {
    const size_t text = line.find_first_not_of(' ');
    const std::string body = text == std::string::npos ? "" : line.substr(text);
    if (body.rfind("server ", 0) == 0) continue;  // replaced below
    if (body.rfind("bind ", 0) == 0) line = "    bind 127.0.0.1:" + std::to_string(port);
    if (body.rfind("default-server ", 0) == 0) {
      const size_t at = line.find("inter 2s");
      if (at == std::string::npos) throw std::runtime_error("example lost its check interval");
      line.replace(at, 8, inter);
    }
    out += line + "\n";
    if (body == "global") out += "    stats socket " + socket_path + " mode 600 level admin\n";
  }
  for (size_t i = 0; i < backends.size(); ++i)
    out += "    server secd" + std::to_string(i + 1) + " 127.0.0.1:" +
           std::to_string(backends[i]) + " check\n";
  return out;
}

}  // namespace

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    close(fd);
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

bool HaproxyProcess::Available() { return access(kProgram, X_OK) == 0; }

HaproxyProcess::HaproxyProcess(const std::vector<int>& backend_ports,
                               std::chrono::milliseconds check_interval) {
  // The port may be taken between the probe and HAProxy's bind: try again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreeLoopbackPort();
    config_ = MakeConfig(port_, backend_ports, check_interval, dir_.File("admin.sock"));
    WriteFile(dir_.File("haproxy.cfg"), config_);
    const std::string out_path = dir_.File("output.log");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
      const std::string cfg = dir_.File("haproxy.cfg");
      execl(kProgram, kProgram, "-f", cfg.c_str(), "-db", static_cast<char*>(nullptr));
      _exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    bool exited = false;
    while (Clock::now() < deadline) {
      if (Accepts(port_)) return;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited = true;
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!exited) {
      Stop();
      break;
    }
  }
  throw std::runtime_error("haproxy did not start within 10 s: " + Output());
}

HaproxyProcess::~HaproxyProcess() { Stop(); }

std::string HaproxyProcess::Output() const {
  try {
    return ReadFile(dir_.File("output.log"));
  } catch (const std::exception&) {
    return {};
  }
}

std::string HaproxyProcess::ServerStatus(const std::string& server) const {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dir_.File("admin.sock");
  if (path.size() >= sizeof addr.sun_path) {
    close(fd);
    return {};
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string command = "show stat\n";
    if (send(fd, command.data(), command.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(command.size())) {
      const auto deadline = Clock::now() + std::chrono::seconds(2);
      char buf[4096];
      while (Clock::now() < deadline && answer.size() < (1u << 20)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
      }
    }
  }
  close(fd);
  // CSV: pxname,svname,... with the status in the column named "status".
  std::istringstream lines(answer);
  std::string line;
  int status_column = -1;
  while (std::getline(lines, line)) {
    std::vector<std::string> cells;
    std::istringstream fields(line);
    for (std::string cell; std::getline(fields, cell, ',');) cells.push_back(cell);
    if (!cells.empty() && cells[0].rfind("# ", 0) == 0) {
      cells[0].erase(0, 2);
      for (size_t i = 0; i < cells.size(); ++i)
        if (cells[i] == "status") status_column = static_cast<int>(i);
      continue;
    }
    if (status_column >= 0 && cells.size() > static_cast<size_t>(status_column) &&
        cells.size() > 1 && cells[1] == server)
      return cells[static_cast<size_t>(status_column)];
  }
  return {};
}

bool HaproxyProcess::WaitForStatus(const std::string& server, const std::string& status,
                                   std::chrono::milliseconds limit) const {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const std::string now = ServerStatus(server);
    // "UP" must not match "UP 1/2" (going down) nor "DOWN" match "DOWN 1/2" (coming up).
    if (now == status) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void HaproxyProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

}  // namespace qrn::test
