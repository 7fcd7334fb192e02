#include "tests/support/fault_proxy.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace qrn::test {

FaultProxy::FaultProxy(int upstream_port) {
  SetMode("pass");
  WriteFile(dir_.File("requests.log"), "");
  std::vector<std::string> args = {
      "/usr/bin/python3", SourceDir() + "/tests/support/fault_proxy.py",
      std::to_string(upstream_port), dir_.File("mode"), dir_.File("requests.log")};
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(out[1], 1);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[128];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  const size_t end = line.find('\n');
  if (end == std::string::npos || line.compare(0, 7, "http://") != 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error("fault_proxy.py did not start within 10 s: \"" + line + "\"");
  }
  base_ = line.substr(0, end);
}

FaultProxy::~FaultProxy() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

void FaultProxy::SetMode(const std::string& mode) const {
  const std::string temp = dir_.File("mode.tmp");
  WriteFile(temp, mode);
  std::rename(temp.c_str(), dir_.File("mode").c_str());
}

std::string FaultProxy::RequestLog() const { return ReadFile(dir_.File("requests.log")); }

}  // namespace qrn::test
