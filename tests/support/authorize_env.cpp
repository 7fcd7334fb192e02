#include "tests/support/authorize_env.h"

#include <cstdio>

#include "platform/text.h"
#include "qrnauth/qrnauthenticate.h"
#include "qrnauth/qrnauthorize.h"

namespace qrn::test {

namespace {

std::string CellText(const VARIANT& cell) {
  if (cell.vt != VT_BSTR || cell.bstrVal == nullptr) return "";
  return platform::Utf16ToUtf8(std::u16string_view(cell.bstrVal, SysStringLen(cell.bstrVal)));
}

}  // namespace

std::vector<TrailRow> TrailRows(const VARIANT* trail) {
  std::vector<TrailRow> rows;
  if (trail == nullptr || trail->vt != (VT_ARRAY | VT_VARIANT) || trail->parray == nullptr)
    return rows;
  for (LONG row = 0; row < 6; ++row) {
    VARIANT cells[4];
    bool empty = true;
    for (LONG column = 0; column < 4; ++column) {
      LONG index[2] = {row, column};
      VariantInit(&cells[column]);
      SafeArrayGetElement(trail->parray, index, &cells[column]);
      if (cells[column].vt != VT_EMPTY) empty = false;
    }
    if (!empty) {
      TrailRow r;
      r.step = CellText(cells[0]);
      r.status = cells[1].vt == VT_I4 ? cells[1].lVal : 0;
      r.detail = CellText(cells[2]);
      r.source = CellText(cells[3]);
      rows.push_back(r);
    }
    for (VARIANT& cell : cells) VariantClear(&cell);
    if (empty) break;
  }
  return rows;
}

std::vector<TrailRow> AuthorizationTrailRows() { return TrailRows(CQRNAuthorize::GetLastMvtErrors()); }

std::vector<TrailRow> AuthenticationTrailRows() {
  return TrailRows(CQRNAuthenticate::GetLastMvtErrors());
}

bool TrailHasDetail(const std::string& detail) {
  for (const TrailRow& row : AuthorizationTrailRows())
    if (row.detail == detail) return true;
  return false;
}

std::string RegDword(uint32_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "dword:%08x", value);
  return text;
}

void AuthorizeEnv::Start(const std::string& json, const std::vector<std::string>& extra_values,
                         std::vector<std::string> secd_args) {
  WriteDataFile(data.File("data.json"), json);
  secd = std::make_unique<SecdProcess>(data.File("data.json"), std::move(secd_args));
  WriteHive(secd->url(), extra_values);
}

void AuthorizeEnv::WriteHive(const std::string& url,
                             const std::vector<std::string>& extra_values) const {
  std::string hive =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n\"URL\"=\"" +
      url + "\"\r\n";
  for (const std::string& line : extra_values) hive += line + "\r\n";
  sandbox.WriteMachineHive(hive);
}

void AuthorizeEnv::Rewrite(const std::string& json) const {
  WriteDataFile(data.File("data.json"), json);
}

}  // namespace qrn::test
