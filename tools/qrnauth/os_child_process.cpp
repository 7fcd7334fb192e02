#include "os_child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace qrn::cli {

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& x : extra)
      if (x.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
    if (!replaced) merged.push_back(entry);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Spawns argv with stdout on *out_read; -1 on failure.
int Spawn(std::vector<std::string> argv, const std::vector<std::string>& env, int* out_read,
          const std::string& stderr_path) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  if (!stderr_path.empty())
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
  std::vector<std::string> merged = MergedEnvironment(env);
  std::vector<char*> args = Pointers(argv);
  std::vector<char*> envp = Pointers(merged);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (rc != 0) {
    close(pipe_fds[0]);
    return -1;
  }
  *out_read = pipe_fds[0];
  return pid;
}

int WaitFor(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  ChildResult result;
  int out = -1;
  const int pid = Spawn(argv, env, &out, "");
  if (pid < 0) return result;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(out, buffer, sizeof buffer);
    if (n > 0) {
      result.out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(out);
  result.exit_code = WaitFor(pid);
  return result;
}

BackgroundChild::~BackgroundChild() { Stop(); }

bool BackgroundChild::Start(const std::vector<std::string>& argv,
                            const std::vector<std::string>& env, const std::string& stderr_path) {
  Stop();
  pid_ = Spawn(argv, env, &out_, stderr_path);
  return pid_ > 0;
}

std::string BackgroundChild::FirstLine(int timeout_ms) {
  std::string line;
  if (out_ < 0) return line;
  while (line.find('\n') == std::string::npos && timeout_ms > 0) {
    pollfd p{out_, POLLIN, 0};
    const int slice = timeout_ms < 100 ? timeout_ms : 100;
    const int ready = poll(&p, 1, slice);
    timeout_ms -= slice;
    if (ready <= 0) continue;
    char buffer[256];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  const size_t end = line.find('\n');
  return end == std::string::npos ? std::string() : line.substr(0, end);
}

void BackgroundChild::Stop() {
  if (out_ >= 0) close(out_);
  out_ = -1;
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int waited = 0; waited < 500; ++waited) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    const timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  kill(pid_, SIGKILL);
  WaitFor(pid_);
  pid_ = -1;
}

}  // namespace qrn::cli
