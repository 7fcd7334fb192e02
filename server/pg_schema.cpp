#include "server/pg_schema.h"

#include <iterator>

namespace qrn::secd {

namespace {

struct Migration {
  int version;
  const char* name;
  const char* sql;
};

constexpr Migration kMigrations[] = {
#include "server/pg_migrations.inc"
};

constexpr char kVersionTable[] =
    "CREATE TABLE IF NOT EXISTS schema_version ("
    " version integer PRIMARY KEY, name text NOT NULL,"
    " applied_at timestamptz NOT NULL DEFAULT now())";

bool ReadVersion(PgConnection& db, int* version, std::string* error) {
  PgRows rows;
  if (!db.Query("SELECT coalesce(max(version), 0) FROM schema_version", {}, &rows, error))
    return false;
  *version = std::stoi(rows.Text(0, 0));
  return true;
}

}  // namespace

int LatestSchemaVersion() { return std::end(kMigrations)[-1].version; }

bool SchemaVersion(PgConnection& db, int* version, std::string* error) {
  PgRows rows;
  if (!db.Query("SELECT to_regclass('schema_version') IS NOT NULL", {}, &rows, error))
    return false;
  if (rows.Text(0, 0) != "t") {
    *version = 0;
    return true;
  }
  return ReadVersion(db, version, error);
}

bool Migrate(PgConnection& db, int* applied, std::string* error) {
  *applied = 0;
  // Creating the table may race with another migrator: the loser of that
  // race retries once and then finds it.
  if (!db.Exec(kVersionTable, error) && !db.Exec(kVersionTable, error)) return false;
  for (const Migration& m : kMigrations) {
    bool done = false;
    const bool ok = InTransaction(db, "", error, [&] {
      int current = 0;
      // One migrator at a time; the version read after the lock is final.
      if (!db.Exec("LOCK TABLE schema_version IN EXCLUSIVE MODE", error) ||
          !ReadVersion(db, &current, error))
        return false;
      if (current > LatestSchemaVersion()) {
        *error = "the database holds schema version " + std::to_string(current) +
                 ", newer than this program's " + std::to_string(LatestSchemaVersion());
        return false;
      }
      if (current >= m.version) return true;
      if (!db.Exec(m.sql, error)) {
        *error = std::string(m.name) + ": " + *error;
        return false;
      }
      done = true;
      return db.Query("INSERT INTO schema_version (version, name) VALUES ($1, $2)",
                      {std::to_string(m.version), std::string(m.name)}, nullptr, error);
    });
    if (!ok) return false;
    if (done) ++*applied;
  }
  // Nothing to apply still checks for a newer schema.
  int current = 0;
  if (!ReadVersion(db, &current, error)) return false;
  if (current > LatestSchemaVersion()) {
    *error = "the database holds schema version " + std::to_string(current) +
             ", newer than this program's " + std::to_string(LatestSchemaVersion());
    return false;
  }
  return true;
}

bool CheckSchema(PgConnection& db, std::string* error) {
  int version = 0;
  if (!SchemaVersion(db, &version, error)) return false;
  if (version == LatestSchemaVersion()) return true;
  *error = version < LatestSchemaVersion()
               ? "the database schema is at version " + std::to_string(version) + " of " +
                     std::to_string(LatestSchemaVersion()) + "; run qrnsecd --store URL --migrate"
               : "the database holds schema version " + std::to_string(version) +
                     ", newer than this program's " + std::to_string(LatestSchemaVersion());
  return false;
}

}  // namespace qrn::secd
