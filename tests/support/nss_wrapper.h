// Accounts and groups for tests through nss_wrapper: passwd and group files
// of the test, preloaded into a child process (the preload must be there when
// a process starts, so the checks run in a re-run of the current test case).
//
//   TEST(Suite, Case) {
//     if (RunUnderNssWrapper(kPasswd, kGroup)) return;  // parent: ran and checked the child
//     ... checks, seeing only the accounts of kPasswd and kGroup ...
//   }
#pragma once

#include <string>
#include <vector>

namespace qrn::test {

// True in the re-run child.
bool InNssWrapperChild();

// In the parent: writes the files, re-runs the current test case under
// nss_wrapper (extra "NAME=value" entries added to its environment; the
// host name is fixed to "pc17.example" unless one is given), records a test
// failure with the child's output when it fails, and returns true. In the
// child: returns false at once.
bool RunUnderNssWrapper(const std::string& passwd, const std::string& group,
                        const std::vector<std::string>& extra_env = {});

}  // namespace qrn::test
