// The security data in the database: read as one consistent version, and
// replaced whole by an import. Both go through the data file's own format,
// so the database holds exactly what the JSON store would serve, checked by
// the same parser.
#pragma once

#include <string>

#include "server/pg_connection.h"
#include "server/secdata.h"

namespace qrn::secd {

// Reads the data set inside the caller's transaction (which should be
// REPEATABLE READ, so every table comes from one snapshot) as the text of a
// data file, with its "timestamp" always set. *version is data_state's
// version counter.
bool ReadDatabaseData(PgConnection& db, std::string* json_text, long long* version,
                      std::string* error);

// Replaces the whole data set inside the caller's transaction and sets the
// server timestamp to `timestamp`.
bool WriteDatabaseData(PgConnection& db, const SecurityData& data, const std::string& timestamp,
                       std::string* error);

// The one-shot commands. Each returns the process exit status (0, or 2 with
// the reason on stderr) and does its work in one transaction.
//   import: reads and checks FILE as the JSON store does, then replaces the
//           data. A file without "timestamp" gets the one the JSON store
//           would derive from it (modification time, size, checksum).
//   export: writes the data as a data file that the JSON store serves with
//           the same documents (the timestamp included).
int ImportDataFile(const std::string& url, const std::string& path);
int ExportDataFile(const std::string& url, const std::string& path);
int MigrateDatabase(const std::string& url);

}  // namespace qrn::secd
