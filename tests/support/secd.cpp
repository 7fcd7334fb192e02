#include "tests/support/secd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace qrn::test {

namespace {

using Clock = std::chrono::steady_clock;

int WaitExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ReadIfPresent(const std::string& path) {
  try {
    return ReadFile(path);
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

SecdProcess::SecdProcess(const std::string& data_file, std::vector<std::string> extra_args) {
  // A database URL in place of the data file serves that database.
  const bool database = data_file.rfind("postgresql://", 0) == 0;
  std::vector<std::string> args = {ServerPath(),
                                   database ? "--store" : "--data",
                                   data_file,
                                   "--listen",
                                   "127.0.0.1:0",
                                   "--request-log",
                                   dir_.File("requests.log"),
                                   "--audit-log",
                                   dir_.File("audit.log")};
  args.insert(args.end(), extra_args.begin(), extra_args.end());

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const std::string err_path = dir_.File("stderr.log");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out[1], 1);
    if (err >= 0) dup2(err, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);

  // The first line is the URL; read it within 10 s.
  std::string line;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[256];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;  // the server ended
    line.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);

  const size_t end = line.find('\n');
  const size_t colon = line.rfind(':', end);
  if (end == std::string::npos || line.compare(0, 7, "http://") != 0 || colon < 7) {
    Stop();
    throw std::runtime_error("qrnsecd did not start within 10 s (output \"" + line +
                             "\", stderr \"" + Stderr() + "\")");
  }
  url_ = line.substr(0, end);
  port_ = std::atoi(url_.c_str() + colon + 1);
}

SecdProcess::~SecdProcess() { Stop(); }

int SecdProcess::Stop() {
  if (pid_ <= 0) return exit_code_;
  kill(pid_, SIGTERM);
  int code = WaitExit(pid_, std::chrono::seconds(10));
  if (code == -2) {
    kill(pid_, SIGKILL);
    code = WaitExit(pid_, std::chrono::seconds(10));
    if (code == -2) code = -1;
  }
  exit_code_ = code;
  pid_ = -1;
  return exit_code_;
}

std::string SecdProcess::RequestLog() const { return ReadIfPresent(dir_.File("requests.log")); }
std::string SecdProcess::AuditLog() const { return ReadIfPresent(dir_.File("audit.log")); }
std::string SecdProcess::Stderr() const { return ReadIfPresent(dir_.File("stderr.log")); }

void WriteDataFile(const std::string& path, const std::string& json) {
  const std::string temp = path + ".tmp";
  WriteFile(temp, json);
  if (std::rename(temp.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot rename " + temp + " to " + path);
}

std::string SampleDataPath() { return SourceDir() + "/data/sample.json"; }

}  // namespace qrn::test
