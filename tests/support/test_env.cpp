#include "tests/support/test_env.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/os.h"

namespace qrn::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/qrnauth-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only folders made by a test must not block the clean-up.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const { return path_ + "/" + name; }

HiveSandbox::HiveSandbox() {
  machine_ = dir_.File("machine.reg");
  user_ = dir_.File("user.reg");
  temp_ = dir_.File("tmp") + "/";
  fs::create_directories(temp_);
  WriteFile(machine_, "Windows Registry Editor Version 5.00\r\n\r\n");
  WriteFile(user_, "Windows Registry Editor Version 5.00\r\n\r\n");
  setenv("QRNAUTH_MACHINE_HIVE", machine_.c_str(), 1);
  setenv("QRNAUTH_USER_HIVE", user_.c_str(), 1);
  setenv("TMPDIR", dir_.File("tmp").c_str(), 1);
}

namespace {

// Writes a hive file behind the library's back, then waits for the coarse
// clock to tick: the library looks at a hive file's stamp at most once per
// tick, so a read in the tick of an earlier look would still see the old
// file. Real writers are other processes and seconds apart; tests are not.
void WriteHiveFile(const std::string& path, const std::string& text) {
  WriteFile(path, text);
  const uint64_t written = platform::CoarseMillis();
  while (platform::CoarseMillis() == written) usleep(200);
}

}  // namespace

void HiveSandbox::WriteMachineHive(const std::string& text) const {
  WriteHiveFile(machine_, text);
}
void HiveSandbox::WriteUserHive(const std::string& text) const { WriteHiveFile(user_, text); }

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extra_env, const std::string& input,
                         int timeout_seconds) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
      close(fd);
    for (const auto& e : extra_env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    ssize_t ignored = write(in_pipe[1], input.data(), input.size());
    (void)ignored;
  }
  close(in_pipe[1]);
  ProcessResult result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  while (open_fds > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string CliPath() { return std::string(QRNAUTH_BINARY_DIR) + "/qrnauth"; }
std::string ServerPath() { return std::string(QRNAUTH_BINARY_DIR) + "/qrnsecd"; }
std::string LibraryPath() { return std::string(QRNAUTH_BINARY_DIR) + "/libqrnauth.so"; }
std::string SourceDir() { return QRNAUTH_SOURCE_DIR; }

}  // namespace qrn::test
