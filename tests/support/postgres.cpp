#include "tests/support/postgres.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/support/free_port.h"

namespace qrn::test {

namespace {

using Clock = std::chrono::steady_clock;

// argv run as the server's user when the tests run as root.
std::vector<std::string> AsServerUser(bool as_postgres, std::vector<std::string> argv) {
  if (!as_postgres) return argv;
  std::vector<std::string> wrapped = {"/usr/bin/setpriv", "--reuid=postgres", "--regid=postgres",
                                      "--clear-groups", "--"};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

}  // namespace

std::string PostgresBinary(const std::string& name) {
  for (const char* version : {"15", "16", "17", "14", "13"}) {
    const std::string path = std::string("/usr/lib/postgresql/") + version + "/bin/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "/usr/lib/postgresql/15/bin/" + name;
}

Postgres::Postgres() {
  as_postgres_ = geteuid() == 0;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(!as_postgres_ && tmp && *tmp ? tmp : "/tmp") + "/qrnauth-pg-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    error_ = "mkdtemp failed";
    return;
  }
  folder_ = pattern;
  if (as_postgres_) {
    const passwd* user = getpwnam("postgres");
    if (!user || chown(folder_.c_str(), user->pw_uid, user->pw_gid) != 0) {
      error_ = "running as root, and the folder cannot be given to the user postgres";
      return;
    }
  }
  const ProcessResult init = RunProcess(
      AsServerUser(as_postgres_, {PostgresBinary("initdb"), "-D", folder_ + "/data", "-U", "qrn",
                                  "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"}),
      {}, "", 60);
  if (init.exit_code != 0) {
    error_ = "initdb failed: " + init.out + init.err;
    return;
  }
  for (int attempt = 0; attempt < 3 && !running(); ++attempt) {
    port_ = FreeLoopbackPort();
    Start();
  }
}

Postgres::~Postgres() {
  Stop();
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string Postgres::url() const {
  return "postgresql://qrn@127.0.0.1:" + std::to_string(port_) + "/postgres";
}

bool Postgres::Start() {
  if (running()) return true;
  const std::vector<std::string> args = AsServerUser(
      as_postgres_, {PostgresBinary("postgres"), "-D", folder_ + "/data", "-p",
                     std::to_string(port_), "-c", "listen_addresses=127.0.0.1", "-c",
                     "unix_socket_directories=" + folder_, "-c", "fsync=off", "-c",
                     "synchronous_commit=off", "-c", "full_page_writes=off", "-c",
                     "max_connections=40", "-c", "shared_buffers=16MB"});
  const std::string log = folder_ + "/server.log";
  const pid_t pid = fork();
  if (pid < 0) {
    error_ = "fork failed";
    return false;
  }
  if (pid == 0) {
    setpgid(0, 0);
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  const std::string conninfo =
      "host=127.0.0.1 port=" + std::to_string(port_) + " user=qrn dbname=postgres connect_timeout=2";
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    if (PQping(conninfo.c_str()) == PQPING_OK) {
      pid_ = pid;
      error_.clear();
      return true;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      error_ = "postgres exited at start: " + ReadFile(log);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  error_ = "postgres did not accept connections within 30 s";
  return false;
}

void Postgres::Stop() {
  if (pid_ <= 0) return;
  // setpriv execs postgres in place, so pid_ is the server itself.
  kill(pid_, SIGINT);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

ProcessResult Postgres::Sql(const std::string& sql) const {
  return RunProcess({PostgresBinary("psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                     "-d", url(), "-c", sql},
                    {}, "", 30);
}

std::string Postgres::Value(const std::string& sql) const {
  const ProcessResult r = Sql(sql);
  return r.out.substr(0, r.out.find('\n'));
}

}  // namespace qrn::test
