#include "server/pg_data.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "platform/log_text.h"
#include "server/datastore.h"
#include "server/pg_schema.h"

namespace qrn::secd {

namespace {

using ojson = nlohmann::ordered_json;
using Params = std::vector<std::optional<std::string>>;

constexpr const char* kGroupLists[] = {"userGroups", "allUserGroups", "serverLocalGroups"};

int Fail(const std::string& message) {
  std::fprintf(stderr, "qrnsecd: %s\n", platform::EscapeLogText(message).c_str());
  return 2;
}

bool ReadApplications(PgConnection& db, ojson* root, std::string* error) {
  PgRows apps, groups, objects;
  if (!db.Query("SELECT seq, id, name, description FROM applications ORDER BY seq", {}, &apps,
                error) ||
      !db.Query("SELECT application, seq, id, name, description FROM security_groups"
                " ORDER BY application, seq",
                {}, &groups, error) ||
      !db.Query("SELECT application, security_group, id, name FROM secured_objects"
                " ORDER BY application, security_group, seq",
                {}, &objects, error))
    return false;
  // Foreign keys hold every group and object to a row of the level above.
  std::map<std::string, ojson> by_app;
  std::map<std::pair<std::string, std::string>, ojson> by_group;
  for (size_t r = 0; r < objects.rows.size(); ++r)
    by_group[{objects.Text(r, 0), objects.Text(r, 1)}].push_back(
        {{"name", objects.Text(r, 3)}, {"id", objects.Text(r, 2)}});
  for (size_t r = 0; r < groups.rows.size(); ++r) {
    ojson group = {{"name", groups.Text(r, 3)},
                   {"id", groups.Text(r, 2)},
                   {"description", groups.Text(r, 4)},
                   {"objects", ojson::array()}};
    if (auto it = by_group.find({groups.Text(r, 0), groups.Text(r, 1)}); it != by_group.end())
      group["objects"] = std::move(it->second);
    by_app[groups.Text(r, 0)].push_back(std::move(group));
  }
  ojson list = ojson::array();
  for (size_t r = 0; r < apps.rows.size(); ++r) {
    ojson app = {{"name", apps.Text(r, 2)},
                 {"id", apps.Text(r, 1)},
                 {"description", apps.Text(r, 3)},
                 {"groups", ojson::array()}};
    if (auto it = by_app.find(apps.Text(r, 0)); it != by_app.end())
      app["groups"] = std::move(it->second);
    list.push_back(std::move(app));
  }
  (*root)["applications"] = std::move(list);
  return true;
}

bool ReadRoles(PgConnection& db, ojson* root, std::string* error) {
  PgRows roles, members;
  if (!db.Query("SELECT seq, id, name, description FROM roles ORDER BY seq", {}, &roles, error) ||
      !db.Query("SELECT role, member_kind, member FROM role_members ORDER BY role, member_kind, seq",
                {}, &members, error))
    return false;
  std::map<std::string, ojson> groups, users;
  for (size_t r = 0; r < members.rows.size(); ++r)
    (members.Text(r, 1) == "group" ? groups : users)[members.Text(r, 0)].push_back(
        members.Text(r, 2));
  ojson list = ojson::array();
  for (size_t r = 0; r < roles.rows.size(); ++r) {
    const std::string& seq = roles.Text(r, 0);
    list.push_back({{"id", roles.Text(r, 1)},
                    {"name", roles.Text(r, 2)},
                    {"description", roles.Text(r, 3)},
                    {"groups", groups.count(seq) ? groups[seq] : ojson::array()},
                    {"users", users.count(seq) ? users[seq] : ojson::array()}});
  }
  (*root)["roles"] = std::move(list);
  return true;
}

bool ReadTables(PgConnection& db, ojson* root, std::string* error) {
  PgRows acls, tables;
  if (!db.Query("SELECT object_key, acl FROM acl_entries ORDER BY object_key COLLATE \"C\"", {},
                &acls, error) ||
      !db.Query("SELECT list_name, user_key, array_to_json(group_names)::text FROM user_groups"
                " ORDER BY list_name, user_key COLLATE \"C\"",
                {}, &tables, error))
    return false;
  ojson acl = ojson::object();
  for (size_t r = 0; r < acls.rows.size(); ++r) acl[acls.Text(r, 0)] = acls.Text(r, 1);
  (*root)["acls"] = std::move(acl);
  for (const char* name : kGroupLists) (*root)[name] = ojson::object();
  for (size_t r = 0; r < tables.rows.size(); ++r)
    (*root)[tables.Text(r, 0)][tables.Text(r, 1)] = ojson::parse(tables.Text(r, 2));
  return true;
}

// The columns of a list of rows, each as one array parameter.
struct Columns {
  std::vector<std::vector<std::string>> columns;
  explicit Columns(size_t n) : columns(n) {}
  void Add(std::vector<std::string> row) {
    for (size_t i = 0; i < row.size(); ++i) columns[i].push_back(std::move(row[i]));
  }
  Params AsParams() const {
    Params params;
    for (const auto& c : columns) params.push_back(ArrayLiteral(c));
    return params;
  }
};

}  // namespace

bool ReadDatabaseData(PgConnection& db, std::string* json_text, long long* version,
                      std::string* error) {
  PgRows state;
  if (!db.Query("SELECT version, server_timestamp, local_groups_level FROM data_state", {}, &state,
                error))
    return false;
  if (state.rows.size() != 1) {
    *error = "data_state must hold exactly one row";
    return false;
  }
  *version = std::stoll(state.Text(0, 0));
  ojson root = {{"format", 1},
                {"localGroupsLevel", std::stoi(state.Text(0, 2))},
                {"timestamp", state.Text(0, 1)}};
  try {
    if (!ReadApplications(db, &root, error) || !ReadRoles(db, &root, error) ||
        !ReadTables(db, &root, error))
      return false;
    *json_text = root.dump(2) + "\n";
    // The same bound as a data file, so the export can be served again.
    if (json_text->size() > kMaxDataFileSize) {
      *error = "the data is larger than " + std::to_string(kMaxDataFileSize >> 20) +
               " MiB as a data file";
      return false;
    }
  } catch (const nlohmann::json::exception& e) {
    // Text that is not UTF-8 (a database in another encoding).
    *error = std::string("the data cannot be written as JSON: ") + e.what();
    return false;
  }
  return true;
}

bool WriteDatabaseData(PgConnection& db, const SecurityData& data, const std::string& timestamp,
                       std::string* error) {
  // One importer at a time. DELETE rather than TRUNCATE: TRUNCATE would
  // show empty tables to an instance reading an older snapshot.
  if (!db.Exec("SELECT version FROM data_state FOR UPDATE;"
               "DELETE FROM secured_objects; DELETE FROM security_groups;"
               "DELETE FROM applications; DELETE FROM role_members; DELETE FROM roles;"
               "DELETE FROM acl_entries; DELETE FROM user_groups",
               error))
    return false;

  Columns apps(4), groups(5), objects(5), roles(4), members(4), acls(2), tables(3);
  for (size_t a = 0; a < data.applications.size(); ++a) {
    const Application& app = data.applications[a];
    apps.Add({std::to_string(a), app.id, app.name, app.description});
    for (size_t g = 0; g < app.groups.size(); ++g) {
      const SecurityGroup& group = app.groups[g];
      groups.Add({std::to_string(a), std::to_string(g), group.id, group.name, group.description});
      for (size_t o = 0; o < group.objects.size(); ++o)
        objects.Add({std::to_string(a), std::to_string(g), std::to_string(o),
                     group.objects[o].id, group.objects[o].name});
    }
  }
  for (size_t r = 0; r < data.roles.size(); ++r) {
    const Role& role = data.roles[r];
    roles.Add({std::to_string(r), role.id, role.name, role.description});
    for (size_t m = 0; m < role.groups.size(); ++m)
      members.Add({std::to_string(r), "group", std::to_string(m), role.groups[m]});
    for (size_t m = 0; m < role.users.size(); ++m)
      members.Add({std::to_string(r), "user", std::to_string(m), role.users[m]});
  }
  for (const auto& [key, acl] : data.acls) acls.Add({key, acl});
  const GroupTable* group_tables[] = {&data.user_groups, &data.all_user_groups,
                                      &data.server_local_groups};
  for (size_t t = 0; t < 3; ++t)
    for (const auto& [user, names] : *group_tables[t])
      tables.Add({kGroupLists[t], user, nlohmann::json(names).dump()});

  const struct {
    const char* sql;
    const Columns& rows;
  } inserts[] = {
      {"INSERT INTO applications (seq, id, name, description)"
       " SELECT * FROM unnest($1::int[], $2::text[], $3::text[], $4::text[])",
       apps},
      {"INSERT INTO security_groups (application, seq, id, name, description)"
       " SELECT * FROM unnest($1::int[], $2::int[], $3::text[], $4::text[], $5::text[])",
       groups},
      {"INSERT INTO secured_objects (application, security_group, seq, id, name)"
       " SELECT * FROM unnest($1::int[], $2::int[], $3::int[], $4::text[], $5::text[])",
       objects},
      {"INSERT INTO roles (seq, id, name, description)"
       " SELECT * FROM unnest($1::int[], $2::text[], $3::text[], $4::text[])",
       roles},
      {"INSERT INTO role_members (role, member_kind, seq, member)"
       " SELECT * FROM unnest($1::int[], $2::text[], $3::int[], $4::text[])",
       members},
      {"INSERT INTO acl_entries (object_key, acl) SELECT * FROM unnest($1::text[], $2::text[])",
       acls},
      {"INSERT INTO user_groups (list_name, user_key, group_names)"
       " SELECT l, k, ARRAY(SELECT json_array_elements_text(g::json))"
       " FROM unnest($1::text[], $2::text[], $3::text[]) AS t(l, k, g)",
       tables},
  };
  for (const auto& insert : inserts)
    if (!db.Query(insert.sql, insert.rows.AsParams(), nullptr, error)) return false;
  // Last, so the timestamp set here is the one that stays (the statements
  // above each touched data_state).
  return db.Query("UPDATE data_state SET server_timestamp = $1, local_groups_level = $2",
                  {timestamp, std::to_string(data.local_groups_level)}, nullptr, error);
}

int ImportDataFile(const std::string& url, const std::string& path) {
  std::string text, error;
  long long mtime_ns = 0;
  SecurityData data;
  if (!ReadDataFile(path, &text, &mtime_ns, &error) ||
      !ParseSecurityData(text, path, &data, &error))
    return Fail(error);
  const std::string timestamp =
      data.timestamp.empty()
          ? DerivedTimestamp(mtime_ns, static_cast<long long>(text.size()), text)
          : data.timestamp;
  PgConnection db;
  if (!db.Connect(url, &error) || !CheckSchema(db, &error)) return Fail(error);
  if (!InTransaction(db, "", &error, [&] { return WriteDatabaseData(db, data, timestamp, &error); }))
    return Fail(path + ": import failed, nothing changed: " + error);
  std::fprintf(stderr, "qrnsecd: %s imported, timestamp %s\n",
               platform::EscapeLogText(path).c_str(), platform::EscapeLogText(timestamp).c_str());
  return 0;
}

int ExportDataFile(const std::string& url, const std::string& path) {
  PgConnection db;
  std::string text, error;
  long long version = 0;
  if (!db.Connect(url, &error) || !CheckSchema(db, &error)) return Fail(error);
  if (!InTransaction(db, "ISOLATION LEVEL REPEATABLE READ READ ONLY", &error,
                     [&] { return ReadDatabaseData(db, &text, &version, &error); }))
    return Fail("export failed: " + error);
  // What the database holds passes the same checks as a data file.
  SecurityData check;
  if (!ParseSecurityData(text, "the database", &check, &error)) return Fail(error);
  if (!platform::ReplaceWholeFile(path, text))
    return Fail(path + ": cannot be written: " + std::strerror(errno));
  return 0;
}

int MigrateDatabase(const std::string& url) {
  PgConnection db;
  std::string error;
  int applied = 0;
  if (!db.Connect(url, &error) || !Migrate(db, &applied, &error)) return Fail(error);
  std::fprintf(stderr, "qrnsecd: schema at version %d (%d migration%s applied)\n",
               LatestSchemaVersion(), applied, applied == 1 ? "" : "s");
  return 0;
}

}  // namespace qrn::secd
