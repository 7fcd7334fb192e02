// Shared ground of the authorizer tests: a sandboxed configuration, a data
// file for a real qrnsecd, the cache folder, the authorization trail, and
// the qrnauth program run as a second process of the same configuration.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "frame/trail.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn::test {

struct TrailRow {
  std::string step;
  HRESULT status = 0;
  std::string detail;
  std::string source;
};

inline std::string CellText(const VARIANT& cell) {
  if (cell.vt != VT_BSTR || cell.bstrVal == nullptr) return std::string();
  return platform::Utf16ToUtf8(std::u16string_view(cell.bstrVal, SysStringLen(cell.bstrVal)));
}

inline std::vector<TrailRow> AuthorizationTrail() {
  std::vector<TrailRow> rows;
  const VARIANT* errors = CQRNAuthorize::GetLastMvtErrors();
  if (errors->vt == VT_EMPTY) return rows;
  for (LONG entry = 0; entry < authorizationTrail.count; ++entry) {
    TrailRow row;
    for (LONG column = 0; column < 4; ++column) {
      VARIANT cell;
      VariantInit(&cell);
      LONG index[2] = {entry, column};
      SafeArrayGetElement(errors->parray, index, &cell);
      if (column == 0) row.step = CellText(cell);
      if (column == 1) row.status = cell.lVal;
      if (column == 2) row.detail = CellText(cell);
      if (column == 3) row.source = CellText(cell);
      VariantClear(&cell);
    }
    rows.push_back(row);
  }
  return rows;
}

inline bool HasTrailRow(const std::string& source, const std::string& detail, HRESULT status) {
  for (const TrailRow& row : AuthorizationTrail())
    if (row.source == source && row.detail == detail && row.status == status) return true;
  return false;
}

// One application per name given, each with one group "Main" holding the
// object "<name>.Item"; the roles Operators and Guests; an ACL per object.
inline std::string DataJson(const std::string& timestamp, const std::vector<std::string>& apps) {
  std::string json = "{\"format\": 1, \"timestamp\": \"" + timestamp + "\", \"applications\": [";
  int n = 0;
  std::string acls;
  for (const std::string& app : apps) {
    char id[64];
    std::snprintf(id, sizeof id, "{%08X-1111-4111-8111-%012X}", n, n);
    char group[64];
    std::snprintf(group, sizeof group, "{%08X-2222-4222-8222-%012X}", n, n);
    char object[64];
    std::snprintf(object, sizeof object, "{%08X-3333-4333-8333-%012X}", n, n);
    json += std::string(n ? ", " : "") + "{\"name\": \"" + app + "\", \"id\": \"" + id +
            "\", \"groups\": [{\"name\": \"Main\", \"id\": \"" + group +
            "\", \"objects\": [{\"name\": \"" + app + ".Item\", \"id\": \"" + object + "\"}]}]}";
    acls += std::string(n ? ", " : "") + "\"" + app + ".Item\": \"Operators:7;Guests:1\"";
    ++n;
  }
  json +=
      "], \"roles\": ["
      "{\"id\": \"{4E000000-0000-4000-8000-000000000001}\", \"name\": \"Operators\", "
      "\"groups\": [\"SALES\\\\Operators\"], \"users\": [\"SALES\\\\bob\"]}, "
      "{\"id\": \"{4E000000-0000-4000-8000-000000000002}\", \"name\": \"Guests\", "
      "\"groups\": [\"Everyone\"], \"users\": []}], \"acls\": {" +
      acls + "}}";
  return json;
}

class AuthorizeFixture : public ::testing::Test {
 protected:
  void WriteData(const std::string& json) const { WriteDataFile(DataFile(), json); }
  std::string DataFile() const { return data_.File("data.json"); }

  void StartServer(std::vector<std::string> extra_args = {}) {
    secd_ = std::make_unique<SecdProcess>(DataFile(), std::move(extra_args));
    UseUrl(secd_->url());
  }
  void StopServer() { secd_->Stop(); }

  // The machine configuration: the URL and any further value lines.
  void UseUrl(const std::string& url, const std::string& more = std::string()) const {
    sandbox_.WriteMachineHive(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n\"URL\"=\"" +
        url + "\"\r\n" + more);
  }

  std::string CacheFile(const std::string& name) const { return sandbox_.temp_folder() + name; }

  // qrnauth in a process of its own, with the same configuration.
  ProcessResult Cli(std::vector<std::string> args) const {
    args.insert(args.begin(), CliPath());
    return RunProcess(args);
  }

  // The request log lines that ask for one of the three documents.
  int DocumentRequests() const {
    int count = 0;
    for (const char* query : {"Object=Appl&Operation=GetAll", "Object=Role&Operation=Get",
                              "Object=Cache&Operation=Get"})
      for (size_t at = secd_->RequestLog().find(query); at != std::string::npos;
           at = secd_->RequestLog().find(query, at + 1))
        ++count;
    return count;
  }

  HiveSandbox sandbox_;
  TempDir data_;
  std::unique_ptr<SecdProcess> secd_;
};

}  // namespace qrn::test
