// A real PostgreSQL server for tests: initdb in a temporary folder, then
// postgres on a free loopback port (and a unix socket in that folder), with
// trust authentication for the user "qrn". When the tests run as root, both
// run as the unprivileged user "postgres" and the folder belongs to it; it is
// then made in /tmp, since the test's own temporary folders are not open to
// another user.
// Start-up and stop are bounded; the folder goes away with the object.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/test_env.h"

namespace qrn::test {

class Postgres {
 public:
  Postgres();   // initdb and Start(); check running() / error()
  ~Postgres();  // Stop(), then the folder is removed
  Postgres(const Postgres&) = delete;
  Postgres& operator=(const Postgres&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // postgresql://qrn@127.0.0.1:PORT/postgres
  std::string url() const;

  // Starts the server again on the same port and data (after Stop()).
  bool Start();
  // Fast shutdown (SIGINT), SIGKILL after 10 s.
  void Stop();

  // Runs SQL through psql; its output, unaligned and without headers.
  ProcessResult Sql(const std::string& sql) const;
  // The first line of Sql(sql)'s output, for a single value.
  std::string Value(const std::string& sql) const;

 private:
  std::string folder_;  // owned by the server's user
  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
  bool as_postgres_ = false;
};

// The PostgreSQL programs of the installed server version.
std::string PostgresBinary(const std::string& name);

}  // namespace qrn::test
