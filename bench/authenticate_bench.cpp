// In-process AuthenticateUser (four NTLM legs) against a plain-text and an
// NT-hash user file, and the resident memory of 20,000 checks, with the
// right password and with a new wrong password every time: a service that
// verifies passwords all day must not grow, whatever its callers type.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "qrnauth/qrnauthenticate.h"

namespace {

// NT hash (MD4 of the UTF-16LE password) of "secret".
constexpr char kSecretHash[] = "878D8014606CDA29677A44EFA1353FC7";
constexpr int kMemoryChecks = 20000;

std::string folder;

void Setup() {
  if (!folder.empty()) return;
  char pattern[] = "/tmp/qrnauth-bench-XXXXXX";
  folder = mkdtemp(pattern);
  std::ofstream(folder + "/plain") << "DOM:alice:secret\n";
  std::ofstream(folder + "/hash") << "DOM\\alice:1000:XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX:"
                                  << kSecretHash << ":[U          ]:LCT-00000000:\n";
  // Keep the machine's configuration out of the measurement.
  setenv("QRNAUTH_MACHINE_HIVE", (folder + "/machine.reg").c_str(), 1);
  setenv("QRNAUTH_USER_HIVE", (folder + "/user.reg").c_str(), 1);
}

// The mechanism reads the file named here on every attempt.
void UseFile(const char* name) { setenv("NTLM_USER_FILE", (folder + "/" + name).c_str(), 1); }

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

const char* FileOf(int64_t arg) { return arg == 0 ? "plain" : "hash"; }

void BM_AuthenticateUser(benchmark::State& state) {
  Setup();
  UseFile(FileOf(state.range(0)));
  CQRNAuthenticate auth;
  for (auto _ : state) {
    if (!auth.AuthenticateUser("DOM", "alice", "secret")) state.SkipWithError("check failed");
  }
  state.SetLabel(FileOf(state.range(0)));
}
BENCHMARK(BM_AuthenticateUser)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// range(0): the user file; range(1): 0 = the right password every time,
// 1 = a new wrong password every time (password guessing).
void BM_ResidentMemory20000Checks(benchmark::State& state) {
  Setup();
  UseFile(FileOf(state.range(0)));
  const bool guessing = state.range(1) != 0;
  CQRNAuthenticate auth;
  // Warm up: first use of the mechanism, the trail, the allocator's pools.
  for (int i = 0; i < 100; ++i) auth.AuthenticateUser("DOM", "alice", "secret");
  for (int i = 0; i < 100; ++i) auth.AuthenticateUser("DOM", "alice", "warm-up");
  for (auto _ : state) {
    long before = ResidentKb();
    for (int i = 0; i < kMemoryChecks; ++i) {
      std::string guess = "guess-" + std::to_string(i);
      bool ok = auth.AuthenticateUser("DOM", "alice", guessing ? guess.c_str() : "secret");
      if (ok == guessing) {
        state.SkipWithError("wrong answer");
        break;
      }
    }
    long after = ResidentKb();
    state.counters["rss_before_kb"] = static_cast<double>(before);
    state.counters["rss_after_kb"] = static_cast<double>(after);
    state.counters["growth_bytes_per_check"] =
        static_cast<double>(after - before) * 1024.0 / kMemoryChecks;
  }
  state.SetLabel(std::string(FileOf(state.range(0))) +
                 (guessing ? " new wrong password" : " right password"));
}
BENCHMARK(BM_ResidentMemory20000Checks)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
