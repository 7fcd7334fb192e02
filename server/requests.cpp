#include "server/requests.h"

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>

#include "server/documents.h"

namespace qrn::secd {

namespace {

constexpr char kXml[] = "text/xml; charset=utf-8";
constexpr char kText[] = "text/plain; charset=utf-8";
constexpr char kHtml[] = "text/html; charset=utf-8";

bool SameAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The first value of the parameter; empty when it is missing.
const std::string& Param(const QueryParams& params, std::string_view name) {
  static const std::string kNone;
  for (const auto& [key, value] : params)
    if (SameAscii(key, name)) return value;
  return kNone;
}

bool Has(const QueryParams& params, std::string_view name) {
  for (const auto& entry : params)
    if (SameAscii(entry.first, name)) return true;
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string UtcText(std::chrono::system_clock::time_point now) {
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms));
  return text;
}

const std::vector<std::string>& Lookup(const GroupTable& table, const QueryParams& params) {
  static const std::vector<std::string> kNoGroups;
  auto it = table.find(GroupKey(Param(params, "Domain"), Param(params, "User")));
  return it == table.end() ? kNoGroups : it->second;
}

Answer Ok(std::string body, const char* type) { return {200, type, std::move(body)}; }

}  // namespace

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

QueryParams ParseQuery(std::string_view query) {
  QueryParams params;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) {
      params.emplace_back(PercentDecode(pair), std::string());
    } else {
      params.emplace_back(PercentDecode(pair.substr(0, eq)), PercentDecode(pair.substr(eq + 1)));
    }
  }
  return params;
}

Answer NotFound(std::string_view path) {
  return {404, kHtml,
          "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>" +
              XmlEscape(path) + " is not served here.</p></body></html>\n"};
}

Answer RequestRouter::Audit(const QueryParams& params) const {
  const auto received = std::chrono::system_clock::now();
  if (audit_db_)
    audit_db_->Add({received, Param(params, "User"), Param(params, "Action"),
                    Param(params, "Status"), Param(params, "Computer")});
  if (audit_ && audit_->is_open()) {
    const nlohmann::ordered_json record = {{"time", UtcText(received)},
                                           {"user", Param(params, "User")},
                                           {"action", Param(params, "Action")},
                                           {"status", Param(params, "Status")},
                                           {"computer", Param(params, "Computer")}};
    // Bytes that are not UTF-8 are kept readable instead of failing the record.
    audit_->Append(record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  }
  return Ok("Logged", kText);
}

Answer RequestRouter::Handle(std::string_view query) const {
  if (query.empty())
    return Ok("<DOCUMENT><STATUS>OK</STATUS><SERVER>qrnsecd</SERVER></DOCUMENT>", kXml);

  const QueryParams params = ParseQuery(query);
  const std::string& object = Param(params, "Object");
  const std::string& operation = Param(params, "Operation");
  const std::shared_ptr<const Snapshot> snap = store_->Current();
  const Documents& docs = snap->documents;
  const SecurityData& data = snap->data;

  if (SameAscii(object, "MvtSecData") && SameAscii(operation, "Get"))
    return Ok(old_server_ ? std::string() : docs.combined, kXml);
  if (SameAscii(object, "dateTime")) {
    if (SameAscii(Param(params, "Object2"), "LocalGroupsLevel")) return Ok(docs.old_date, kText);
    if (!Has(params, "Object2")) return Ok(docs.timestamp, kText);
  }
  if (SameAscii(object, "Appl") && SameAscii(operation, "GetAll"))
    return Ok(docs.applications, kXml);
  if (SameAscii(object, "Role") && SameAscii(operation, "Get")) return Ok(docs.roles, kXml);
  if (SameAscii(object, "Cache") && SameAscii(operation, "Get")) return Ok(docs.acls, kXml);
  if (SameAscii(object, "UserGroups") && SameAscii(operation, "Get"))
    return Ok(GroupListAnswer(Lookup(data.user_groups, params)), kText);
  if (SameAscii(object, "AllUserGroups") && SameAscii(operation, "Get"))
    return Ok(GroupListAnswer(Lookup(data.all_user_groups, params)), kText);
  if (SameAscii(object, "ServerLocalGroups") && SameAscii(operation, "Append"))
    return Ok(ServerLocalGroupsAnswer(Lookup(data.server_local_groups, params),
                                      Param(params, "DomainGroups")),
              kText);
  if (SameAscii(object, "Log") && SameAscii(operation, "Add")) return Audit(params);

  return {400, kHtml,
          "<html><head><title>error</title></head><body><h1>error</h1><p>Unknown request: " +
              XmlEscape(std::string(query)) + "</p></body></html>\n"};
}

}  // namespace qrn::secd
