// Test support: a real qrnsecd on a free loopback port.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace qrn::test {

// Starts qrn::test::ServerPath() with --data data_file (--store for a
// "postgresql://" URL) --listen 127.0.0.1:0,
// a request log and an audit log in a folder of its own, plus extra_args
// (for example {"--old-server"}), and reads the base URL from the first line
// of its output. Throws std::runtime_error, with the server's stderr, when it
// has not started within 10 s; the test then fails with that message.
class SecdProcess {
 public:
  explicit SecdProcess(const std::string& data_file, std::vector<std::string> extra_args = {});
  ~SecdProcess();  // Stop()
  SecdProcess(const SecdProcess&) = delete;
  SecdProcess& operator=(const SecdProcess&) = delete;

  // Base URL, e.g. http://127.0.0.1:41234/mvt/security.aspx
  const std::string& url() const { return url_; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // One line per request made to the security page: its query text without
  // the "?" (an empty line for the bare page).
  std::string RequestLog() const;
  // One JSON object per line for each audit request (time, user, action,
  // status, computer).
  std::string AuditLog() const;
  // What the server wrote to stderr so far (load errors, reloads).
  std::string Stderr() const;

  // SIGTERM, then waits (SIGKILL after 10 s). The exit status, or -1 when it
  // did not exit normally. Later calls return the first result.
  int Stop();

 private:
  TempDir dir_;
  std::string url_;
  int port_ = 0;
  pid_t pid_ = -1;
  int exit_code_ = -1;
};

// Writes a data file the way an administrator's editor would replace it:
// a temporary file next to it, then rename, so the server never reads half.
void WriteDataFile(const std::string& path, const std::string& json);

// The bundled sample data (data/sample.json of the source tree).
std::string SampleDataPath();

}  // namespace qrn::test
