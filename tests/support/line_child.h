// Test support: a child program whose standard output is read line by
// line while it runs (a server that prints where it listens, then its
// verdict). Every wait ends after 20 s; the destructor kills a child that
// is still running.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qrn::test {

class LineChild {
 public:
  // argv[0] is a path; extra_env entries are "NAME=value"; input goes to
  // the child's standard input, which is then closed.
  LineChild(std::vector<std::string> argv, const std::vector<std::string>& extra_env = {},
            const std::string& input = "");
  ~LineChild();
  LineChild(const LineChild&) = delete;
  LineChild& operator=(const LineChild&) = delete;

  // One line without its end; "" at the end of the output or after 20 s.
  std::string Line();
  // The exit status; -1 when it was killed or did not end within 20 s.
  int Wait();

 private:
  pid_t pid_ = -1;
  int from_ = -1;
};

}  // namespace qrn::test
