// Test support for the authorizer: a qrnsecd serving a data file, a machine
// hive pointing at it with extra values, and the authorization trail read
// back as rows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qrnauth/oleauto.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn::test {

struct TrailRow {
  std::string step;
  int32_t status = 0;
  std::string detail;
  std::string source;  // "file(line):function.called"
};
// The rows recorded in a trail (the VARIANT a GetLastMvtErrors answers).
std::vector<TrailRow> TrailRows(const VARIANT* trail);
// The rows recorded in the authorization trail so far.
std::vector<TrailRow> AuthorizationTrailRows();
// The rows recorded in the authentication trail so far.
std::vector<TrailRow> AuthenticationTrailRows();
// True when a recorded row has this detail text.
bool TrailHasDetail(const std::string& detail);

// "dword:XXXXXXXX" for a .reg file.
std::string RegDword(uint32_t value);

class AuthorizeEnv {
 public:
  AuthorizeEnv() = default;
  // Writes the data file, starts qrnsecd (extra arguments passed on) and
  // writes the machine hive: "URL" and every line of extra_values (already
  // in .reg form, e.g. "\"NTGroupSupport\"=dword:00000001").
  void Start(const std::string& json, const std::vector<std::string>& extra_values = {},
             std::vector<std::string> secd_args = {});
  // Writes the machine hive for url with the extra values.
  void WriteHive(const std::string& url, const std::vector<std::string>& extra_values) const;
  void Rewrite(const std::string& json) const;  // replaces the data file

  HiveSandbox sandbox;
  TempDir data;
  std::unique_ptr<SecdProcess> secd;
};

}  // namespace qrn::test
