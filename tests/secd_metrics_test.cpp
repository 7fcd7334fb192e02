// The /metrics counters and exposition text, the request kinds, and the data
// store's view of whether it serves the current data (what /health answers).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "server/datastore.h"
#include "server/health.h"
#include "server/metrics.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn::secd {
namespace {

using namespace std::chrono_literals;

// The value on the line "NAME VALUE"; -1 when there is none.
double Value(const std::string& text, const std::string& name) {
  const std::string key = "\n" + name + " ";
  const size_t at = ("\n" + text).find(key);
  if (at == std::string::npos) return -1;
  return std::stod(text.substr(at + key.size() - 1));
}

TEST(SecdRequestKind, MatchesTheCatalogue) {
  EXPECT_EQ(ClassifyQuery("Object=MvtSecData&Operation=Get&ClientTimestamp=x"),
            RequestKind::kCombined);
  EXPECT_EQ(ClassifyQuery("object=MVTSECDATA&operation=get"), RequestKind::kCombined);
  EXPECT_EQ(ClassifyQuery("%4Fbject=MvtSecData&Operation=Get"), RequestKind::kCombined);
  EXPECT_EQ(ClassifyQuery("&&Object=MvtSec%44ata&Operation=%67et"), RequestKind::kCombined);
  EXPECT_EQ(ClassifyQuery("Object=MvtSecData&Operation=Get%"), RequestKind::kOther);
  EXPECT_EQ(ClassifyQuery("Object=MvtSecDataX&Operation=Get"), RequestKind::kOther);
  EXPECT_EQ(ClassifyQuery("Object=MvtSecDat&Operation=Get"), RequestKind::kOther);
  EXPECT_EQ(ClassifyQuery("Object=dateTime"), RequestKind::kDocuments);
  EXPECT_EQ(ClassifyQuery("Object=Appl&Operation=GetAll"), RequestKind::kDocuments);
  EXPECT_EQ(ClassifyQuery("Object=Cache&Operation=Get"), RequestKind::kDocuments);
  EXPECT_EQ(ClassifyQuery("User=bob&Domain=D&Operation=Get&Object=AllUserGroups"),
            RequestKind::kGroups);
  EXPECT_EQ(ClassifyQuery("Object=ServerLocalGroups&Operation=Append"), RequestKind::kGroups);
  EXPECT_EQ(ClassifyQuery("Object=Log&Operation=Add&User=u"), RequestKind::kAudit);
  // The first value counts, as when the request is answered.
  EXPECT_EQ(ClassifyQuery("Object=Log&Object=MvtSecData&Operation=Add"), RequestKind::kAudit);
  EXPECT_EQ(ClassifyQuery(""), RequestKind::kOther);
  EXPECT_EQ(ClassifyQuery("Object=Appl&Operation=Get"), RequestKind::kOther);
  EXPECT_EQ(ClassifyQuery("Object=UserGroups&Operation=Append"), RequestKind::kOther);
}

TEST(SecdMetrics, CountsAndACumulativeHistogram) {
  Metrics metrics({});
  metrics.Record(RequestKind::kCombined, 200, false, 30us);       // first bucket
  metrics.Record(RequestKind::kCombined, 200, false, 50us);       // on a bound: that bucket
  metrics.Record(RequestKind::kDocuments, 200, false, 3ms);       // 0.005
  metrics.Record(RequestKind::kOther, 400, true, 200us);          // 0.00025
  metrics.Record(RequestKind::kOther, 500, false, 10s);           // only +Inf
  metrics.RecordRefused(431);
  const std::string text = metrics.Render();

  EXPECT_EQ(Value(text, "qrnsecd_requests_total{kind=\"combined\"}"), 2);
  EXPECT_EQ(Value(text, "qrnsecd_requests_total{kind=\"documents\"}"), 1);
  EXPECT_EQ(Value(text, "qrnsecd_requests_total{kind=\"groups\"}"), 0);
  EXPECT_EQ(Value(text, "qrnsecd_requests_total{kind=\"other\"}"), 2);
  EXPECT_EQ(Value(text, "qrnsecd_responses_total{class=\"2xx\"}"), 3);
  EXPECT_EQ(Value(text, "qrnsecd_responses_total{class=\"4xx\"}"), 2);  // 400 and the refusal
  EXPECT_EQ(Value(text, "qrnsecd_responses_total{class=\"5xx\"}"), 1);
  EXPECT_EQ(Value(text, "qrnsecd_error_pages_total"), 1);

  EXPECT_EQ(Value(text, "qrnsecd_request_duration_seconds_bucket{le=\"5e-05\"}"), 2);
  EXPECT_EQ(Value(text, "qrnsecd_request_duration_seconds_bucket{le=\"0.0001\"}"), 2);
  EXPECT_EQ(Value(text, "qrnsecd_request_duration_seconds_bucket{le=\"0.00025\"}"), 3);
  EXPECT_EQ(Value(text, "qrnsecd_request_duration_seconds_bucket{le=\"0.005\"}"), 4);
  EXPECT_EQ(Value(text, "qrnsecd_request_duration_seconds_bucket{le=\"2\"}"), 4);
  EXPECT_EQ(Value(text, "qrnsecd_request_duration_seconds_bucket{le=\"+Inf\"}"), 5);
  EXPECT_EQ(Value(text, "qrnsecd_request_duration_seconds_count"), 5);
  EXPECT_NEAR(Value(text, "qrnsecd_request_duration_seconds_sum"), 10.00328, 1e-9);

  // Without sources: no data families, and an audit queue of zeros.
  EXPECT_EQ(text.find("qrnsecd_data_"), std::string::npos);
  EXPECT_EQ(Value(text, "qrnsecd_audit_queued"), 0);
  EXPECT_EQ(Value(text, "qrnsecd_audit_dropped_total"), 0);

  // Every sample line belongs to a family declared before it.
  std::string declared;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "the text ends with a line feed";
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.rfind("# TYPE ", 0) == 0) {
      declared = line.substr(7, line.find(' ', 7) - 7);
    } else if (line[0] != '#') {
      EXPECT_EQ(line.rfind(declared, 0), 0u) << line;
    }
  }
}

TEST(SecdMetrics, CountsFromManyThreadsAddUp) {
  Metrics metrics({});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) metrics.Record(RequestKind::kGroups, 200, false, 1us);
    });
  for (auto& t : threads) t.join();
  const std::string text = metrics.Render();
  EXPECT_EQ(Value(text, "qrnsecd_requests_total{kind=\"groups\"}"), 40000);
  EXPECT_EQ(Value(text, "qrnsecd_request_duration_seconds_count"), 40000);
}

TEST(SecdMetrics, DataVersionTimestampLabelAndAuditQueue) {
  std::string timestamp = "12/01/2026 10:00:00 AM";
  bool servable = true;
  Metrics metrics({.timestamp = [&] { return timestamp; },
                   .servable = [&](std::string*) { return servable; },
                   .audit_queue = [] { return AuditQueueFigures{7, 3}; }});
  std::string text = metrics.Render();
  const double first = Value(text, "qrnsecd_data_version");
  EXPECT_GT(first, 0);
  EXPECT_EQ(Value(text, "qrnsecd_data_info{timestamp=\"12/01/2026 10:00:00 AM\"}"), 1);
  EXPECT_EQ(Value(text, "qrnsecd_data_current"), 1);
  EXPECT_EQ(Value(text, "qrnsecd_audit_queued"), 7);
  EXPECT_EQ(Value(text, "qrnsecd_audit_dropped_total"), 3);
  EXPECT_EQ(Value(metrics.Render(), "qrnsecd_data_version"), first) << "stable for one timestamp";

  // A timestamp is the administrator's text: it cannot break out of its label.
  timestamp = "a\"b\\c\nqrnsecd_fake 1";
  servable = false;
  text = metrics.Render();
  EXPECT_NE(Value(text, "qrnsecd_data_version"), first);
  EXPECT_EQ(Value(text, "qrnsecd_data_info{timestamp=\"a\\\"b\\\\c\\nqrnsecd_fake 1\"}"), 1) << text;
  EXPECT_EQ(Value(text, "qrnsecd_fake"), -1);
  EXPECT_EQ(Value(text, "qrnsecd_data_current"), 0);
}

TEST(SecdServable, ABadDataFileIsNotServableUntilRepaired) {
  test::TempDir dir;
  const std::string path = dir.File("data.json");
  test::WriteDataFile(path, test::ReadFile(test::SampleDataPath()));
  DataStore store(path);
  std::string error, why;
  ASSERT_TRUE(store.Load(&error)) << error;
  const HealthCheck health([&](std::string* reason) { return store.Servable(reason); });
  EXPECT_TRUE(store.Servable(&why));
  EXPECT_EQ(health.Answer().status, 200);
  EXPECT_EQ(health.Answer().body, "ok\n");

  test::WriteDataFile(path, "{\"format\": 1, \"applications\": [\n\x01 broken");
  EXPECT_FALSE(store.Servable(&why));
  EXPECT_NE(why.find(path), std::string::npos) << why;
  const HttpAnswer sick = health.Answer();
  EXPECT_EQ(sick.status, 503);
  EXPECT_EQ(sick.body.rfind("not serving the current data: " + path, 0), 0u) << sick.body;
  EXPECT_EQ(sick.body.find('\x01'), std::string::npos) << "one printable line";
  EXPECT_EQ(sick.body.find('\n'), sick.body.size() - 1);
  // The last good data stays in service meanwhile.
  ASSERT_NE(store.Current(), nullptr);
  EXPECT_FALSE(store.Current()->documents.combined.empty());

  test::WriteDataFile(path, test::ReadFile(test::SampleDataPath()));
  EXPECT_TRUE(store.Servable(&why));

  // A file that is gone is not the data served either; it is back once it returns.
  ASSERT_EQ(std::rename(path.c_str(), dir.File("away").c_str()), 0);
  EXPECT_FALSE(store.Servable(&why));
  EXPECT_NE(why.find("cannot be read"), std::string::npos) << why;
  ASSERT_EQ(std::rename(dir.File("away").c_str(), path.c_str()), 0);
  EXPECT_TRUE(store.Servable(&why)) << why;
}

}  // namespace
}  // namespace qrn::secd
