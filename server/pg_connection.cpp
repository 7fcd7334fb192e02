#include "server/pg_connection.h"

#include <libpq-fe.h>

namespace qrn::secd {

namespace {

// Error texts from the server end with a newline; messages add their own.
std::string Trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

const std::string& PgRows::Text(size_t row, size_t column) const {
  static const std::string kNull;
  const auto& cell = rows.at(row).at(column);
  return cell ? *cell : kNull;
}

bool IsDatabaseUrl(std::string_view text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

std::string RedactUrl(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return std::string(url);
  const size_t start = scheme + 3;
  const size_t end = url.find_first_of("/?", start);
  const std::string_view authority = url.substr(start, end - start);
  const size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  const size_t colon = authority.find(':');
  if (colon == std::string_view::npos || colon > at) return std::string(url);
  return std::string(url.substr(0, start + colon)) + ":***" + std::string(url.substr(start + at));
}

std::string ArrayLiteral(const std::vector<std::string>& items) {
  std::string out = "{";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    out += '"';
    for (char c : items[i]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  out += '}';
  return out;
}

struct PgConnection::Impl {
  PGconn* conn = nullptr;
};

PgConnection::PgConnection() : impl_(std::make_unique<Impl>()) {}
PgConnection::~PgConnection() { Close(); }

void PgConnection::Close() {
  if (impl_->conn) PQfinish(impl_->conn);
  impl_->conn = nullptr;
}

bool PgConnection::Good() const {
  return impl_->conn && PQstatus(impl_->conn) == CONNECTION_OK;
}

bool PgConnection::Connect(const std::string& url, std::string* error) {
  Close();
  // Bounds first; the URL (expanded from dbname) may set its own.
  const char* keys[] = {"connect_timeout", "keepalives",      "keepalives_idle",
                        "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                        "options",         "application_name", "dbname",
                        nullptr};
  const char* values[] = {"5", "1", "10", "5", "3", "15000",
                          "-c statement_timeout=60000", "qrnsecd", url.c_str(), nullptr};
  impl_->conn = PQconnectdbParams(keys, values, 1);
  if (!impl_->conn) {
    *error = RedactUrl(url) + ": out of memory";
    return false;
  }
  if (PQstatus(impl_->conn) != CONNECTION_OK) {
    *error = RedactUrl(url) + ": " + Trimmed(PQerrorMessage(impl_->conn));
    Close();
    return false;
  }
  PQsetClientEncoding(impl_->conn, "UTF8");
  return true;
}

bool PgConnection::Exec(const std::string& sql, std::string* error) {
  if (!impl_->conn) {
    *error = "not connected";
    return false;
  }
  PGresult* result = PQexec(impl_->conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(result);
  const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!ok) *error = Trimmed(PQerrorMessage(impl_->conn));
  PQclear(result);
  return ok;
}

bool PgConnection::Query(const std::string& sql,
                         const std::vector<std::optional<std::string>>& params, PgRows* rows,
                         std::string* error) {
  if (!impl_->conn) {
    *error = "not connected";
    return false;
  }
  std::vector<const char*> values;
  for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
  PGresult* result = PQexecParams(impl_->conn, sql.c_str(), static_cast<int>(values.size()),
                                  nullptr, values.data(), nullptr, nullptr, 0);
  const ExecStatusType status = PQresultStatus(result);
  const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!ok) {
    *error = Trimmed(PQerrorMessage(impl_->conn));
  } else if (rows) {
    rows->rows.clear();
    const int n = PQntuples(result), columns = PQnfields(result);
    rows->rows.reserve(static_cast<size_t>(n));
    for (int r = 0; r < n; ++r) {
      auto& row = rows->rows.emplace_back();
      for (int c = 0; c < columns; ++c) {
        if (PQgetisnull(result, r, c))
          row.emplace_back();
        else
          row.emplace_back(std::string(PQgetvalue(result, r, c),
                                       static_cast<size_t>(PQgetlength(result, r, c))));
      }
    }
  }
  PQclear(result);
  return ok;
}

int PgConnection::Socket() const { return impl_->conn ? PQsocket(impl_->conn) : -1; }

bool PgConnection::TakeNotifications(std::vector<std::string>* channels) {
  if (!impl_->conn) return false;
  if (!PQconsumeInput(impl_->conn)) return false;
  while (PGnotify* note = PQnotifies(impl_->conn)) {
    channels->push_back(note->relname ? note->relname : "");
    PQfreemem(note);
  }
  return PQstatus(impl_->conn) == CONNECTION_OK;
}

}  // namespace qrn::secd
