// The configuration reads on the hot path, with an unchanged machine hive:
// MvtLogEnabled (asked before every diagnostic line) and GetAuthUrl once the
// URL is known (every server request).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "frame/config.h"
#include "frame/diagnostic_log.h"

namespace {

// A machine hive of its own, so the bench never reads the machine's file.
class BenchHive {
 public:
  BenchHive() {
    char folder[] = "/tmp/qrnauth-config-bench-XXXXXX";
    if (!mkdtemp(folder)) std::abort();
    folder_ = folder;
    path_ = folder_ + "/machine.reg";
    std::ofstream(path_) << "Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n"
                            "\"URL\"=\"http://127.0.0.1:8080/mvt/security.aspx\"\r\n"
                            "\"Mvtlog\"=dword:00000001\r\n";
    setenv("QRNAUTH_MACHINE_HIVE", path_.c_str(), 1);
    setenv("QRNAUTH_USER_HIVE", (folder_ + "/user.reg").c_str(), 1);
  }
  ~BenchHive() {
    std::remove(path_.c_str());
    rmdir(folder_.c_str());
  }

 private:
  std::string folder_, path_;
};

BenchHive& Hive() {
  static BenchHive hive;
  return hive;
}

void BM_MvtLogEnabled(benchmark::State& state) {
  Hive();
  if (!qrn::MvtLogEnabled()) state.SkipWithError("Mvtlog not read");
  for (auto _ : state) benchmark::DoNotOptimize(qrn::MvtLogEnabled());
}
BENCHMARK(BM_MvtLogEnabled);

// The floor of MvtLogEnabled: the hive's change check alone.
void BM_HiveGeneration(benchmark::State& state) {
  Hive();
  for (auto _ : state) {
    benchmark::DoNotOptimize(qrn::platform::HiveGeneration(qrn::platform::RegHive::LocalMachine));
  }
}
BENCHMARK(BM_HiveGeneration);

void BM_GetAuthUrlKnown(benchmark::State& state) {
  Hive();
  char url[260];
  uint32_t size = sizeof url;
  if (qrn::GetAuthUrl(url, &size) != S_OK) state.SkipWithError("URL not read");
  for (auto _ : state) {
    size = sizeof url;
    benchmark::DoNotOptimize(qrn::GetAuthUrl(url, &size));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_GetAuthUrlKnown);

}  // namespace

BENCHMARK_MAIN();
