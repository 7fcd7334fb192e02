#include "tests/support/line_child.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace qrn::test {

LineChild::LineChild(std::vector<std::string> argv, const std::vector<std::string>& extra_env,
                     const std::string& input) {
  int out[2], in[2];
  if (pipe(out) != 0 || pipe(in) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    dup2(in[0], 0);
    close(out[0]);
    close(in[1]);
    for (const std::string& e : extra_env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(in[0]);
  (void)!write(in[1], input.data(), input.size());
  close(in[1]);
  from_ = out[0];
}

LineChild::~LineChild() {
  if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (from_ >= 0) close(from_);
}

std::string LineChild::Line() {
  std::string line;
  char c;
  for (;;) {
    pollfd p{from_, POLLIN, 0};
    if (poll(&p, 1, 20000) != 1 || read(from_, &c, 1) != 1 || c == '\n') return line;
    line += c;
  }
}

int LineChild::Wait() {
  int status = 0;
  for (int i = 0; i < 2000 && pid_ > 0; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

}  // namespace qrn::test
