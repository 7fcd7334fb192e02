// Combined-request throughput of a database-backed qrnsecd beside a
// JSON-backed one over the same data (the sample data imported into a
// PostgreSQL started for the run). Two client threads with keep-alive on
// loopback; the two servers are measured alternately, a fixed number of
// requests per round, and the ratio database/JSON is reported.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_client.h"
#include "tests/support/postgres.h"
#include "tests/support/secd.h"

namespace {

constexpr char kCombined[] = "?Object=MvtSecData&Operation=Get&ClientTimestamp=";

struct Servers {
  qrn::test::Postgres pg;
  std::unique_ptr<qrn::test::SecdProcess> json, db;
  Servers() {
    if (!pg.running()) throw std::runtime_error(pg.error());
    for (const char* step : {"--migrate", "--import"}) {
      std::vector<std::string> args = {qrn::test::ServerPath(), "--store", pg.url(), step};
      if (std::string(step) == "--import") args.push_back(qrn::test::SampleDataPath());
      if (qrn::test::RunProcess(args).exit_code != 0)
        throw std::runtime_error(std::string("qrnsecd ") + step + " failed");
    }
    json = std::make_unique<qrn::test::SecdProcess>(qrn::test::SampleDataPath());
    db = std::make_unique<qrn::test::SecdProcess>(pg.url());
  }
};

// Seconds for two threads of `per_thread` GETs each; counts the failures.
double Round(const std::string& url, int per_thread, std::atomic<int>* failures) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&] {
      qrn::platform::HttpSession session;
      session.Open("qrnsecd-pg-bench");
      for (int i = 0; i < per_thread; ++i) {
        const auto r = session.Get(url);
        if (r.outcome != qrn::platform::HttpOutcome::kOk || r.status != 200) ++*failures;
      }
    });
  for (auto& th : threads) th.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_CombinedDatabaseAgainstJson(benchmark::State& state) {
  static Servers servers;
  constexpr int kPerThread = 2000;
  std::atomic<int> failures{0};
  double json_seconds = 0, db_seconds = 0;
  for (auto _ : state) {
    json_seconds += Round(servers.json->url() + kCombined, kPerThread, &failures);
    db_seconds += Round(servers.db->url() + kCombined, kPerThread, &failures);
  }
  if (failures) state.SkipWithError("requests failed");
  const double requests = static_cast<double>(state.iterations()) * 2 * kPerThread;
  state.counters["json_per_s"] = requests / json_seconds;
  state.counters["db_per_s"] = requests / db_seconds;
  state.counters["db_to_json"] = json_seconds / db_seconds;
}

BENCHMARK(BM_CombinedDatabaseAgainstJson)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
