// The database schema qrnsecd reads and writes, created and brought up to
// date by numbered migrations (server/migrations/NNNN_name.sql, built into
// the program). The table schema_version lists the ones applied.
#pragma once

#include <string>

#include "server/pg_connection.h"

namespace qrn::secd {

// The version of the newest migration this program carries.
int LatestSchemaVersion();

// The newest migration applied to the database; 0 when none is.
bool SchemaVersion(PgConnection& db, int* version, std::string* error);

// Applies every missing migration in order, each in a transaction of its
// own that also records it in schema_version; concurrent runs wait for each
// other. *applied counts the migrations applied (0: the schema was current).
// Fails when the database holds a newer schema than this program knows.
bool Migrate(PgConnection& db, int* applied, std::string* error);

// Fails with a message telling to run --migrate unless the database holds
// exactly the schema this program knows.
bool CheckSchema(PgConnection& db, std::string* error);

}  // namespace qrn::secd
