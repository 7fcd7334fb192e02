// InitCache over the large data set (about 20 MiB of documents), first from
// a qrnsecd serving it (the combined answer, parsing, rewriting the cache
// files), then from the local cache folder with the server down. Each
// reports, as counters, the floor measured in the same run: reading the four
// cache files and taking their MD5, the least a load from the files must do
// (x_floor on the wall clock, x_floor_cpu in this process's CPU time).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/large_data.h"
#include "platform/file_io.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/loaded_state_view.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"

namespace {

using Clock = std::chrono::steady_clock;

// qrnsecd on a free loopback port over the data file, until Stop.
class Server {
 public:
  explicit Server(const std::string& data) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      const std::string path = std::string(QRNAUTH_BINARY_DIR) + "/qrnsecd";
      execl(path.c_str(), path.c_str(), "--data", data.c_str(), "--listen", "127.0.0.1:0",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') url_ += c;
    close(out[0]);
    if (url_.rfind("http://", 0) != 0) throw std::runtime_error("qrnsecd did not start");
  }
  ~Server() { Stop(); }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string& url() const { return url_; }

 private:
  pid_t pid_ = -1;
  std::string url_;
};

struct Setup {
  std::string folder;  // the cache folder (and the sandbox of the hives)
  std::string data_file;
  qrn::bench::LargeData data;
  std::unique_ptr<Server> server;
  void StopServer() {
    server->Stop();
    std::remove(data_file.c_str());
  }
};

Setup& Shared() {
  static Setup setup = [] {
    Setup s;
    s.data = qrn::bench::MakeLargeData();
    const qrn::bench::LargeData& data = s.data;
    // The hives are written after the server is up, as its URL is needed.
    const char* tmp = std::getenv("TMPDIR");
    s.data_file = std::string(tmp && *tmp ? tmp : "/tmp") + "/qrnauth-init-cache-bench-" +
                  std::to_string(getpid()) + ".json";
    std::ofstream(s.data_file, std::ios::binary | std::ios::trunc) << data.json;
    s.server = std::make_unique<Server>(s.data_file);
    s.folder = qrn::bench::PrepareBenchEnvironment(s.server->url());
    if (s.folder.empty()) throw std::runtime_error("no sandbox folder");
    return s;
  }();
  return setup;
}

bool ReadAndDigest(const std::string& folder) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1;
  for (const char* name :
       {qrn::kApplicationCacheFile, qrn::kRoleCacheFile, qrn::kAclCacheFile, qrn::kTimestampFile}) {
    std::string content;
    ok = ok && qrn::platform::ReadWholeFile(folder + name, &content) &&
         EVP_DigestUpdate(ctx, content.data(), content.size()) == 1;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  ok = ok && EVP_DigestFinal_ex(ctx, digest, &size) == 1;
  benchmark::DoNotOptimize(digest);
  EVP_MD_CTX_free(ctx);
  return ok;
}

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Floor {
  double wall = 1e9;
  double cpu = 1e9;
};

// The least of five runs, on the wall clock and in this process's CPU time.
Floor FloorSeconds(const std::string& folder) {
  Floor best;
  for (int i = 0; i < 5; ++i) {
    const auto start = Clock::now();
    const double cpu = CpuSeconds();
    ReadAndDigest(folder);
    best.cpu = std::min(best.cpu, CpuSeconds() - cpu);
    best.wall = std::min(best.wall, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

// Loads once per iteration; freeing the previous load is not timed.
void RunLoads(benchmark::State& state, bool expect_server) {
  Setup& setup = Shared();
  CQRNAuthorize authorizer;
  double total = 0, cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    authorizer.ClearCache(QRN_CLEAR_CACHE_GROUPS);
    qrn::ResetCacheFlag();
    // Without a stored timestamp the server's data counts as changed.
    if (expect_server) std::remove((setup.folder + qrn::kTimestampFile).c_str());
    state.ResumeTiming();
    const auto start = Clock::now();
    const double cpu_start = CpuSeconds();
    const bool loaded = authorizer.InitCache("DOM\\user1", QRN_CLEAR_CACHE_GROUPS);
    cpu += CpuSeconds() - cpu_start;
    total += std::chrono::duration<double>(Clock::now() - start).count();
    if (!loaded || CQRNAuthorizeInspector::FromServer(authorizer) != expect_server) {
      state.SkipWithError("the load did not come from where it should");
      break;
    }
  }
  const Floor floor = FloorSeconds(setup.folder);
  state.counters["roles"] = static_cast<double>(CQRNAuthorizeInspector::Roles(authorizer));
  state.counters["floor_ms"] = floor.wall * 1e3;
  if (state.iterations() > 0) {
    const double n = static_cast<double>(state.iterations());
    state.counters["x_floor"] = total / n / floor.wall;
    // This process's CPU only: qrnsecd's rendering runs in its own process.
    state.counters["x_floor_cpu"] = cpu / n / floor.cpu;
  }
}

void BM_InitCacheFromServer(benchmark::State& state) { RunLoads(state, true); }
BENCHMARK(BM_InitCacheFromServer)->Unit(benchmark::kMillisecond)->Iterations(3);

// The server is stopped for good; the cache folder is written directly.
void BM_InitCacheFromCacheFolder(benchmark::State& state) {
  Setup& setup = Shared();
  setup.StopServer();
  if (!qrn::bench::WriteLargeCacheFolder(setup.data, setup.folder)) {
    state.SkipWithError("cannot write the cache folder");
    return;
  }
  RunLoads(state, false);
}
BENCHMARK(BM_InitCacheFromCacheFolder)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
