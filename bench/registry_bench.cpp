// Registry reads with an unchanged hive: opening the configuration key and
// reading a DWORD (what every configuration reader does), and the hive
// generation that cached readers compare.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/registry.h"

namespace {

using qrn::platform::RegHive;
using qrn::platform::RegistryKey;

// A machine hive of its own, so the bench never reads the machine's file.
class BenchHive {
 public:
  BenchHive() {
    char folder[] = "/tmp/qrnauth-registry-bench-XXXXXX";
    if (!mkdtemp(folder)) std::abort();
    folder_ = folder;
    path_ = folder_ + "/machine.reg";
    std::ofstream out(path_);
    out << "Windows Registry Editor Version 5.00\r\n\r\n";
    // Some neighbours, so the lookup is not trivially the only key.
    for (int i = 0; i < 20; ++i) {
      out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor" << i
          << "\\App]\r\n\"V\"=dword:00000001\r\n\r\n";
    }
    out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n"
           "\"URL\"=\"http://127.0.0.1:8080/mvt/security.aspx\"\r\n"
           "\"EventLogging\"=dword:00000000\r\n"
           "\"NovellClient\"=dword:00000000\r\n"
           "\"Mvtlog\"=dword:00000001\r\n";
    out.close();
    setenv("QRNAUTH_MACHINE_HIVE", path_.c_str(), 1);
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

void BM_OpenAndQueryDword(benchmark::State& state) {
  Hive();
  for (auto _ : state) {
    RegistryKey key;
    uint32_t type = 0, value = 0, size = sizeof(value);
    if (key.Open(RegHive::LocalMachine, "Software\\Korvane\\MVT") != 0 ||
        key.QueryValue("Mvtlog", &type, &value, &size) != 0) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_OpenAndQueryDword);

void BM_HiveGeneration(benchmark::State& state) {
  Hive();
  for (auto _ : state) {
    benchmark::DoNotOptimize(qrn::platform::HiveGeneration(RegHive::LocalMachine));
  }
}
BENCHMARK(BM_HiveGeneration);

}  // namespace

BENCHMARK_MAIN();
