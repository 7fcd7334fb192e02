// Child programs for the tools: run one to its end with its output captured,
// or keep one running in the background and read the first line it prints.
// The child gets this process's environment plus the given "NAME=value"
// entries (which replace variables of the same name).
#pragma once

#include <string>
#include <vector>

namespace qrn::cli {

struct ChildResult {
  int exit_code = -1;  // -1 when it could not start or did not exit normally
  std::string out;     // its standard output; standard error is passed through
};

// Runs argv[0] (a path) and waits for it.
ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env);

class BackgroundChild {
 public:
  BackgroundChild() = default;
  ~BackgroundChild();  // Stop()
  BackgroundChild(const BackgroundChild&) = delete;
  BackgroundChild& operator=(const BackgroundChild&) = delete;

  // Starts argv[0] with its standard output on a pipe; standard error goes
  // to stderr_path (appended). False when it could not be started.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& stderr_path);
  // The first line the child prints, without its line break; empty when
  // none arrives within timeout_ms or the child ends first.
  std::string FirstLine(int timeout_ms);
  // SIGTERM, then waits (SIGKILL after 5 s). Safe to call twice.
  void Stop();

 private:
  int pid_ = -1;
  int out_ = -1;
};

}  // namespace qrn::cli
