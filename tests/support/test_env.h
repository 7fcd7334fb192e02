// Test support: a temporary folder per test with its own machine and user
// hives, file helpers, and running child programs.
#pragma once

#include <string>
#include <vector>

namespace qrn::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// Points QRNAUTH_MACHINE_HIVE and QRNAUTH_USER_HIVE at files in a temporary
// folder (created empty with a "Windows Registry Editor Version 5.00" header)
// and TMPDIR at a folder of its own, so a test never sees the machine's
// configuration. Construct it before the first library call of the test.
class HiveSandbox {
 public:
  HiveSandbox();
  const std::string& machine_hive() const { return machine_; }
  const std::string& user_hive() const { return user_; }
  const std::string& temp_folder() const { return temp_; }  // with trailing '/'
  const TempDir& dir() const { return dir_; }
  // Writes a whole hive file (header included by the caller).
  void WriteMachineHive(const std::string& text) const;
  void WriteUserHive(const std::string& text) const;

 private:
  TempDir dir_;
  std::string machine_, user_, temp_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

struct ProcessResult {
  int exit_code = -1;  // -1 when it did not exit normally
  std::string out;     // standard output
  std::string err;     // standard error
};
// Runs argv[0] (a path) with the current environment plus extra "NAME=value"
// entries, feeding input on stdin; waits at most timeout_seconds, then kills.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extra_env = {},
                         const std::string& input = "", int timeout_seconds = 60);

// Paths of the programs built with the tests.
std::string CliPath();     // qrnauth
std::string ServerPath();  // qrnsecd
std::string LibraryPath(); // libqrnauth.so
std::string SourceDir();

}  // namespace qrn::test
