// qrnsecd over a real PostgreSQL: the schema's migrations, import and export
// against the JSON store's documents, changes reaching a running instance and
// a client, a malformed import or edit, and a database outage (the last data
// stays in service, audit records queue and then count as dropped).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/http_client.h"
#include "security/common/qrnauthorize/loaded_state_view.h"
#include "server/audit_writer.h"
#include "server/pg_store.h"
#include "tests/authorize_fixture.h"
#include "tests/support/postgres.h"

namespace qrn::test {
namespace {

using Clock = std::chrono::steady_clock;
using Inspector = CQRNAuthorizeInspector;

// The requests whose answers come from the data, the bare page excluded.
const std::vector<std::string> kDocumentQueries = {
    "Object=MvtSecData&Operation=Get&ClientTimestamp=",
    "Object=dateTime",
    "Object=dateTime&Object2=LocalGroupsLevel",
    "Object=Appl&Operation=GetAll",
    "Object=Role&Operation=Get",
    "Object=Cache&Operation=Get",
    "User=bob&Domain=SALES&Operation=Get&Object=UserGroups",
    "User=ADMIN&Domain=sales&Operation=Get&Object=AllUserGroups",
    "User=bob&Domain=SALES&DomainGroups=A;B&Operation=Append&Object=ServerLocalGroups",
};

std::string Get(const std::string& url) {
  platform::HttpSession session;
  session.Open("secd-pg-test");
  session.SetTotalTimeout(10000);
  const platform::HttpResponse response = session.Get(url);
  EXPECT_EQ(response.status, 200) << url << " " << response.error;
  return response.body;
}

std::vector<std::string> Documents(const SecdProcess& server) {
  std::vector<std::string> documents;
  for (const std::string& query : kDocumentQueries) documents.push_back(Get(server.url() + "?" + query));
  return documents;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(10)) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

ProcessResult Secd(std::vector<std::string> args) {
  args.insert(args.begin(), ServerPath());
  return RunProcess(args);
}

std::string WithTimestamp(const std::string& json, const std::string& timestamp) {
  const size_t brace = json.find('{');
  return json.substr(0, brace + 1) + "\"timestamp\": \"" + timestamp + "\"," + json.substr(brace + 1);
}

class PostgresTest : public AuthorizeFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pg_.running()) << pg_.error();
    ASSERT_EQ(Secd({"--store", pg_.url(), "--migrate"}).exit_code, 0);
  }
  int Import(const std::string& path) const {
    return Secd({"--store", pg_.url(), "--import", path}).exit_code;
  }
  std::string Export() const {
    const std::string path = data_.File("export.json");
    std::filesystem::remove(path);
    EXPECT_EQ(Secd({"--store", pg_.url(), "--export", path}).exit_code, 0);
    return ReadFile(path);
  }
  std::string Write(const std::string& name, const std::string& json) const {
    WriteDataFile(data_.File(name), json);
    return data_.File(name);
  }

  Postgres pg_;
};

TEST_F(PostgresTest, MigrationsImportAndExportServeTheJsonStoresDocuments) {
  // Migrating a current schema changes nothing and succeeds.
  const ProcessResult again = Secd({"--store", pg_.url(), "--migrate"});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(pg_.Value("SELECT count(*) FROM schema_version"), "1");
  EXPECT_EQ(pg_.Value("SELECT count(*) FROM data_state"), "1");
  // Two instances migrating an empty database at once: both succeed, the
  // schema is made once.
  ASSERT_EQ(pg_.Sql("CREATE DATABASE fresh").exit_code, 0);
  const std::string fresh = pg_.url().substr(0, pg_.url().rfind('/')) + "/fresh";
  ProcessResult first, second;
  std::thread racer([&] { first = Secd({"--store", fresh, "--migrate"}); });
  second = Secd({"--store", fresh, "--migrate"});
  racer.join();
  EXPECT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(RunProcess({PostgresBinary("psql"), "-X", "-A", "-t", "-d", fresh, "-c",
                        "SELECT count(*) FROM schema_version"})
                .out,
            "1\n");

  // A file without a timestamp: the database takes the one the JSON store
  // derives from the same file.
  const std::string sample = SampleDataPath();
  ASSERT_EQ(Import(sample), 0);
  std::vector<std::string> from_file, from_db;
  {
    SecdProcess file_server(sample), db_server(pg_.url());
    from_file = Documents(file_server);
    from_db = Documents(db_server);
  }
  for (size_t i = 0; i < kDocumentQueries.size(); ++i)
    EXPECT_EQ(from_db[i], from_file[i]) << kDocumentQueries[i];
  EXPECT_NE(from_db[0].find("Payroll.Monthly"), std::string::npos);

  // The export is a data file the JSON store serves identically.
  const std::string exported = Write("exported.json", Export());
  {
    SecdProcess file_server(exported);
    EXPECT_EQ(Documents(file_server), from_db);
  }

  // An explicit timestamp, and text that needs escaping everywhere.
  std::string odd = ReadFile(sample);
  odd.replace(odd.find("Salaries and payslips"), 21, "Quotes \\\" back\\\\slash ünïcødé 'x'");
  const std::string with_ts = Write("odd.json", WithTimestamp(odd, "12/24/2026 11:59:59 PM +1/#?%"));
  ASSERT_EQ(Import(with_ts), 0);
  {
    SecdProcess file_server(with_ts), db_server(pg_.url());
    EXPECT_EQ(Documents(db_server), Documents(file_server));
  }
  const std::string good_export = Export();
  EXPECT_NE(good_export.find("12/24/2026 11:59:59 PM +1/#?%"), std::string::npos);

  // Malformed files change nothing.
  const std::string broken = Write("broken.json", "{\"format\": 1, \"roles\": [");
  std::string bad_guid = odd;
  bad_guid.replace(bad_guid.find("{DC453042"), 9, "{XC453042");
  for (const std::string& path :
       {broken, Write("bad_guid.json", bad_guid), data_.path(), data_.File("missing.json")}) {
    const ProcessResult r = Secd({"--store", pg_.url(), "--import", path});
    EXPECT_EQ(r.exit_code, 2) << path;
    EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
  }
  EXPECT_EQ(Export(), good_export);

  // One-shot forms that cannot work say so.
  EXPECT_EQ(Secd({"--data", sample, "--migrate"}).exit_code, 2);
  EXPECT_EQ(Secd({"--store", "postgresql://qrn@127.0.0.1:1/none", "--migrate"}).exit_code, 2);
}

TEST_F(PostgresTest, ChangesCommittedInTheDatabaseReachTheInstanceAndTheClient) {
  ASSERT_EQ(Import(Write("a.json", DataJson("12/01/2026 10:00:00 AM", {"Payroll"}))), 0);
  secd_ = std::make_unique<SecdProcess>(pg_.url());
  UseUrl(secd_->url());
  const std::string date_url = secd_->url() + "?Object=dateTime";
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  EXPECT_EQ(Inspector::CacheTimestamp(authorizer), "12/01/2026 10:00:00 AM");

  // A second import.
  ASSERT_EQ(Import(Write("b.json", DataJson("12/02/2026 9:30:00 AM", {"Payroll", "Fleet", "Stock"}))), 0);
  EXPECT_TRUE(WaitFor([&] { return Get(date_url) == "12/02/2026 9:30:00 AM"; }));
  bool refreshed = false;
  EXPECT_TRUE(authorizer.RefreshCache(refreshed, QRN_CLEAR_CACHE_GROUPS));
  EXPECT_TRUE(refreshed);
  EXPECT_EQ(Inspector::Applications(authorizer), 3);
  EXPECT_EQ(Inspector::CacheTimestamp(authorizer), "12/02/2026 9:30:00 AM");

  // An administrator's edit with its timestamp, in one transaction.
  ASSERT_EQ(pg_.Sql("BEGIN; UPDATE roles SET description = 'Edited' WHERE name = 'Guests';"
                    "UPDATE data_state SET server_timestamp = '12/03/2026 8:00:00 AM'; COMMIT;")
                .exit_code,
            0);
  EXPECT_TRUE(WaitFor([&] { return Get(date_url) == "12/03/2026 8:00:00 AM"; }));
  EXPECT_NE(Get(secd_->url() + "?Object=Role&Operation=Get").find("<ROLEDESC>Edited</ROLEDESC>"),
            std::string::npos);
  ASSERT_EQ(Cli({"load"}).exit_code, 0);
  EXPECT_TRUE(authorizer.RefreshCache(refreshed, QRN_CLEAR_CACHE_GROUPS));
  EXPECT_EQ(Inspector::CacheTimestamp(authorizer), "12/03/2026 8:00:00 AM");

  // An edit that forgets the timestamp still gets a new one, or clients
  // would keep the old data forever.
  ASSERT_EQ(pg_.Sql("UPDATE roles SET description = 'Again' WHERE name = 'Guests'").exit_code, 0);
  EXPECT_TRUE(WaitFor([&] {
    return Get(secd_->url() + "?Object=Role&Operation=Get").find("<ROLEDESC>Again</ROLEDESC>") !=
           std::string::npos;
  }));
  const std::string generated = Get(date_url);
  EXPECT_NE(generated, "12/03/2026 8:00:00 AM");
  EXPECT_TRUE(authorizer.RefreshCache(refreshed, QRN_CLEAR_CACHE_GROUPS));
  EXPECT_TRUE(refreshed);
  EXPECT_EQ(Inspector::CacheTimestamp(authorizer), generated);
}

TEST_F(PostgresTest, AnOutageKeepsTheLastDataInServiceAndCountsAuditDrops) {
  ASSERT_EQ(Import(SampleDataPath()), 0);
  SecdProcess server(pg_.url(), {"--instance", "one"});
  secd::PgStore store(pg_.url(), std::chrono::milliseconds(100));
  std::string why;
  ASSERT_TRUE(store.Load(&why)) << why;
  EXPECT_TRUE(store.Servable(&why)) << why;
  const auto audit = [&](int i) {
    return Get(server.url() + "?Object=Log&Operation=Add&User=SALES%5Cbob&Action=Open+" +
               std::to_string(i) + "&Status=1&Computer=PC%00%FF");
  };
  for (int i = 0; i < 40; ++i) ASSERT_EQ(audit(i), "Logged");
  EXPECT_TRUE(WaitFor([&] {
    return pg_.Value("SELECT count(*) FROM audit_records WHERE instance = 'one'") == "40";
  }));
  EXPECT_EQ(pg_.Value("SELECT count(DISTINCT action) FROM audit_records WHERE user_name = "
                      "'SALES\\bob' AND status = '1' AND received_at > now() - interval '1 minute'"),
            "40");

  // An edit the data file's rules refuse stays out of service.
  const std::string before = store.Current()->documents.combined;
  ASSERT_EQ(pg_.Sql("UPDATE roles SET name = 'Bad;Name' WHERE name = 'Guests'").exit_code, 0);
  EXPECT_TRUE(WaitFor([&] { return !store.Servable(&why); }));
  EXPECT_NE(why.find("$.roles[4].name"), std::string::npos) << why;
  EXPECT_EQ(store.Current()->documents.combined, before);
  ASSERT_EQ(pg_.Sql("UPDATE roles SET name = 'Guests' WHERE name = 'Bad;Name'").exit_code, 0);
  EXPECT_TRUE(WaitFor([&] { return store.Servable(&why); })) << why;
  const std::string served = store.Current()->documents.combined;
  EXPECT_TRUE(WaitFor([&] {
    return Get(server.url() + "?Object=MvtSecData&Operation=Get&ClientTimestamp=") == served;
  }));

  secd::AuditWriter writer(pg_.url(), 10);
  writer.Start("two");
  pg_.Stop();
  EXPECT_TRUE(WaitFor([&] { return !store.Servable(&why); }));
  EXPECT_NE(why.find("out of reach"), std::string::npos) << why;
  EXPECT_EQ(store.Current()->documents.combined, served);
  // Answers do not wait for the database.
  const auto start = Clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(audit(100 + i), "Logged");
  EXPECT_EQ(Get(server.url() + "?Object=MvtSecData&Operation=Get&ClientTimestamp="), served);
  for (int i = 0; i < 25; ++i) writer.Add({std::chrono::system_clock::now(), "u", "a", "s", "c"});
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(writer.Queued(), 10u);
  EXPECT_EQ(writer.Dropped(), 15u);

  ASSERT_TRUE(pg_.Start()) << pg_.error();
  EXPECT_TRUE(WaitFor([&] { return store.Servable(&why); }, std::chrono::seconds(15))) << why;
  EXPECT_TRUE(WaitFor([&] { return writer.Queued() == 0; }, std::chrono::seconds(15)));
  EXPECT_EQ(writer.Written(), 10u);
  EXPECT_TRUE(WaitFor([&] {
    return pg_.Value("SELECT count(*) FROM audit_records WHERE instance = 'one'") == "45";
  }, std::chrono::seconds(15)));
  EXPECT_EQ(pg_.Value("SELECT count(*) FROM audit_records WHERE instance = 'two'"), "10");
  EXPECT_EQ(server.Stop(), 0) << server.Stderr();
}

}  // namespace
}  // namespace qrn::test
