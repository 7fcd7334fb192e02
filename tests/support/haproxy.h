// Test support: a real HAProxy on a free loopback port in front of given
// backends, configured from the repository's example site configuration
// (examples/site/haproxy.cfg) with the test's ports and a quick health check.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace qrn::test {

class HaproxyProcess {
 public:
  // Whether the haproxy program is installed.
  static bool Available();

  // Writes the configuration (backends "secd1", "secd2", ... on 127.0.0.1 at
  // the given ports, checked every check_interval) into a folder of its own,
  // starts "haproxy -f cfg -db" and waits until the front end accepts
  // connections. Throws std::runtime_error with HAProxy's output when it has
  // not started within 10 s.
  explicit HaproxyProcess(const std::vector<int>& backend_ports,
                          std::chrono::milliseconds check_interval = std::chrono::milliseconds(100));
  ~HaproxyProcess();  // Stop()
  HaproxyProcess(const HaproxyProcess&) = delete;
  HaproxyProcess& operator=(const HaproxyProcess&) = delete;

  int port() const { return port_; }
  // http://127.0.0.1:PORT
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  const std::string& config() const { return config_; }
  // What HAProxy wrote (its log goes to standard output with -db).
  std::string Output() const;

  // The check status of a backend server ("UP", "DOWN", "UP 1/2"...), read
  // from the admin socket; empty when it cannot be read.
  std::string ServerStatus(const std::string& server) const;
  // Waits until ServerStatus(server) is exactly `status`; false after `limit`.
  bool WaitForStatus(const std::string& server, const std::string& status,
                     std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  // SIGTERM, then waits (SIGKILL after 5 s).
  void Stop();

 private:
  TempDir dir_;
  std::string config_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

}  // namespace qrn::test
