// A whole site on loopback: a real PostgreSQL, two qrnsecd instances serving
// it behind a real HAProxy (the repository's example configuration), and
// clients going through HAProxy. Each case starts its own database.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "security/common/qrnauthorize/loaded_state_view.h"
#include "tests/authorize_fixture.h"
#include "tests/support/postgres.h"
#include "tests/support/site.h"

namespace qrn::test {
namespace {

using Clock = std::chrono::steady_clock;
using Inspector = CQRNAuthorizeInspector;

constexpr char kPage[] = "/mvt/security.aspx";
const char* const kInstances[] = {"site-a", "site-b"};

// Every request whose answer comes from the data.
const std::vector<std::string> kDocumentQueries = {
    "?Object=MvtSecData&Operation=Get&ClientTimestamp=",
    "?Object=dateTime",
    "?Object=Appl&Operation=GetAll",
    "?Object=Role&Operation=Get",
    "?Object=Cache&Operation=Get",
    "?User=bob&Domain=SALES&Operation=Get&Object=UserGroups",
    "?User=bob&Domain=SALES&Operation=Get&Object=AllUserGroups",
};

bool WaitFor(const std::function<bool()>& condition,
             std::chrono::seconds limit = std::chrono::seconds(15)) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class SitePgTest : public AuthorizeFixture {
 protected:
  void SetUp() override {
    if (!HaproxyProcess::Available())
      GTEST_SKIP() << "haproxy is not installed (scripts/install-deps.sh installs it)";
    ASSERT_TRUE(pg_.running()) << pg_.error();
    const ProcessResult migrate = Secd({"--store", pg_.url(), "--migrate"});
    ASSERT_EQ(migrate.exit_code, 0) << migrate.err;
  }

  static ProcessResult Secd(std::vector<std::string> args) {
    args.insert(args.begin(), ServerPath());
    return RunProcess(args);
  }
  void Import(const std::string& path) const {
    const ProcessResult r = Secd({"--store", pg_.url(), "--import", path});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }

  // Two database-backed instances and HAProxy in front; clients use HAProxy.
  void StartSite() {
    for (const char* name : kInstances)
      secds_.push_back(std::make_unique<SecdProcess>(pg_.url(), std::vector<std::string>{"--instance", name}));
    proxy_ = ProxyInFront(secds_);
    UseUrl(proxy_->base() + kPage);
  }

  std::string Body(const std::string& url) const {
    const platform::HttpResponse r = HttpGet(url);
    EXPECT_EQ(r.status, 200) << url << " " << r.error;
    return r.body;
  }
  std::string Direct(size_t instance, const std::string& query) const {
    return Body(Origin(*secds_[instance]) + kPage + query);
  }
  // True when both instances answer `query` with the same text that passes `check`.
  bool BothServe(const std::string& query, const std::function<bool(const std::string&)>& check) const {
    const std::string first = Direct(0, query);
    return check(first) && Direct(1, query) == first;
  }

  Postgres pg_;
  std::vector<std::unique_ptr<SecdProcess>> secds_;
  std::unique_ptr<HaproxyProcess> proxy_;
};

TEST_F(SitePgTest, ImportedDataIsServedAlikeAndChangesReachEveryClient) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll", "Stock"}));
  Import(DataFile());
  StartSite();

  // Both database-backed instances, HAProxy (both of them in turn) and a
  // JSON-store instance over the imported file: byte for byte the same.
  SecdProcess json_store(DataFile());
  for (const std::string& query : kDocumentQueries) {
    const std::string expected = Body(json_store.url() + query);
    EXPECT_EQ(Direct(0, query), expected) << query;
    EXPECT_EQ(Direct(1, query), expected) << query;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Body(proxy_->base() + kPage + query), expected) << query;
  }
  for (const auto& secd : secds_)
    EXPECT_NE(secd->RequestLog().find("Object=Appl&Operation=GetAll"), std::string::npos);

  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  EXPECT_EQ(Inspector::CacheTimestamp(authorizer), "12/01/2026 10:00:00 AM");
  EXPECT_EQ(Inspector::Applications(authorizer), 2);

  // A second import reaches both instances and the client's next refresh.
  WriteDataFile(data_.File("b.json"), DataJson("12/02/2026 9:30:00 AM", {"Payroll", "Stock", "Ledger"}));
  Import(data_.File("b.json"));
  EXPECT_TRUE(WaitFor([&] {
    return BothServe("?Object=dateTime", [](const std::string& t) { return t == "12/02/2026 9:30:00 AM"; });
  }));
  bool refreshed = false;
  EXPECT_TRUE(authorizer.RefreshCache(refreshed, QRN_CLEAR_CACHE_GROUPS));
  EXPECT_TRUE(refreshed);
  EXPECT_EQ(Inspector::CacheTimestamp(authorizer), "12/02/2026 9:30:00 AM");
  EXPECT_EQ(Inspector::Applications(authorizer), 3);

  // A plain UPDATE, no timestamp given: both instances serve the edit under
  // one new timestamp, and the next load through HAProxy gets it.
  ASSERT_EQ(pg_.Sql("UPDATE roles SET description = 'Edited' WHERE name = 'Guests'").exit_code, 0);
  EXPECT_TRUE(WaitFor([&] {
    return BothServe("?Object=Role&Operation=Get", [](const std::string& roles) {
      return roles.find("<ROLEDESC>Edited</ROLEDESC>") != std::string::npos;
    });
  }));
  std::string edited;
  EXPECT_TRUE(WaitFor([&] {
    return BothServe("?Object=dateTime", [&](const std::string& t) {
      edited = t;
      return t != "12/02/2026 9:30:00 AM";
    });
  }));
  const ProcessResult load = Cli({"load"});
  ASSERT_EQ(load.exit_code, 0) << load.err;
  EXPECT_NE(load.out.find("timestamp: " + edited + "\napplications: 3\n"), std::string::npos)
      << load.out;
  EXPECT_TRUE(authorizer.RefreshCache(refreshed, QRN_CLEAR_CACHE_GROUPS));
  EXPECT_TRUE(refreshed);
  EXPECT_EQ(Inspector::CacheTimestamp(authorizer), edited);
}

TEST_F(SitePgTest, StoppingAnInstanceUnderLoadLosesNoRequest) {
  Import(SampleDataPath());
  StartSite();
  const std::string expected = Body(Origin(*secds_[0]) + kCombinedRequest);
  ASSERT_NE(expected.find("Payroll"), std::string::npos);

  const LoadUnderStop load = CombinedLoadWhileStopping(*proxy_, expected, *secds_[0]);
  EXPECT_EQ(load.stop_exit, 0) << secds_[0]->Stderr();
  EXPECT_LT(load.before_stop, load.sent) << "the stop came after the load";
  EXPECT_EQ(load.sent, 200);
  EXPECT_EQ(load.answered, 200) << load.failures << proxy_->Output();
  EXPECT_TRUE(proxy_->WaitForStatus("secd1", "DOWN"));
  EXPECT_EQ(Body(proxy_->base() + kCombinedRequest), expected);
}

TEST_F(SitePgTest, AuditRecordsFromBothInstancesLandInOneTable) {
  Import(SampleDataPath());
  StartSite();

  // A connection each, so HAProxy alternates the instances; two client
  // threads at once.
  constexpr int kThreads = 2, kPerThread = 40;
  std::vector<std::thread> clients;
  std::vector<int> logged(kThreads, 0);
  for (int t = 0; t < kThreads; ++t)
    clients.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const platform::HttpResponse r =
            HttpGet(proxy_->base() + kPage + "?Object=Log&Operation=Add&User=SALES%5Cbob&Action=Open+" +
                    std::to_string(t) + "-" + std::to_string(i) + "&Status=1&Computer=PC" +
                    std::to_string(t));
        if (r.status == 200 && r.body == "Logged") ++logged[t];
      }
    });
  for (auto& c : clients) c.join();
  EXPECT_EQ(logged, std::vector<int>(kThreads, kPerThread));

  const int sent = kThreads * kPerThread;
  EXPECT_TRUE(WaitFor([&] {
    return pg_.Value("SELECT count(*) FROM audit_records") == std::to_string(sent);
  })) << pg_.Value("SELECT count(*) FROM audit_records");
  EXPECT_EQ(pg_.Value("SELECT count(DISTINCT action) FROM audit_records WHERE user_name = 'SALES\\bob' "
                      "AND status = '1' AND received_at > now() - interval '5 minutes'"),
            std::to_string(sent));

  // Each instance wrote the records it answered, under its own name, and
  // says so in its metrics: nothing waiting, nothing dropped.
  int audited = 0;
  for (size_t i = 0; i < 2; ++i) {
    const std::string metrics = Body(Origin(*secds_[i]) + "/metrics");
    const double answered = MetricValue(metrics, "qrnsecd_requests_total{kind=\"audit\"}");
    EXPECT_GT(answered, 0) << kInstances[i];
    EXPECT_EQ(pg_.Value(std::string("SELECT count(*) FROM audit_records WHERE instance = '") +
                        kInstances[i] + "'"),
              std::to_string(static_cast<int>(answered)));
    EXPECT_EQ(MetricValue(metrics, "qrnsecd_audit_queued"), 0) << metrics;
    EXPECT_EQ(MetricValue(metrics, "qrnsecd_audit_dropped_total"), 0) << metrics;
    audited += static_cast<int>(answered);
  }
  EXPECT_EQ(audited, sent);
  EXPECT_EQ(pg_.Value("SELECT count(DISTINCT instance) FROM audit_records"), "2");
}

}  // namespace
}  // namespace qrn::test
