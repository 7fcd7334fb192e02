// qrnsecd throughput on loopback: requests per second from two client
// threads, each with its own keep-alive connection. Bounded: a fixed number
// of requests per iteration and a fixed number of iterations.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_client.h"
#include "tests/support/secd_data.h"

namespace {

// One qrnsecd for the whole run, on a free port, over the given data file.
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
  ~Server() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& url() const { return url_; }

 private:
  pid_t pid_ = -1;
  std::string url_;
};

std::string WriteTemp(const std::string& name, const std::string& text) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return path;
}

Server& SampleServer() {
  static Server server(std::string(QRNAUTH_SOURCE_DIR) + "/data/sample.json");
  return server;
}

Server& LargeServer() {
  static Server server(WriteTemp("qrnsecd_bench_large.json", qrn::test::LargeDataJson(42000)));
  return server;
}

// Two threads, `per_thread` GETs of url each; counts the failures.
void RunClients(const std::string& url, int per_thread, std::atomic<int>* failures, size_t* bytes) {
  std::vector<std::thread> threads;
  std::vector<size_t> received(2, 0);
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      qrn::platform::HttpSession session;
      session.Open("qrnsecd-bench");
      for (int i = 0; i < per_thread; ++i) {
        const auto r = session.Get(url);
        if (r.outcome != qrn::platform::HttpOutcome::kOk || r.status != 200) ++*failures;
        received[t] += r.body.size();
      }
    });
  }
  for (auto& th : threads) th.join();
  *bytes = received[0] + received[1];
}

void Requests(benchmark::State& state, Server& (*server)(), const char* query, int per_thread) {
  const std::string url = server().url() + query;
  std::atomic<int> failures{0};
  size_t bytes = 0, total_bytes = 0;
  for (auto _ : state) {
    RunClients(url, per_thread, &failures, &bytes);
    total_bytes += bytes;
  }
  if (failures) state.SkipWithError("requests failed");
  state.SetItemsProcessed(state.iterations() * 2 * per_thread);
  state.SetBytesProcessed(static_cast<int64_t>(total_bytes));
}

void BM_DateTime(benchmark::State& s) { Requests(s, SampleServer, "?Object=dateTime", 2000); }
void BM_Combined(benchmark::State& s) {
  Requests(s, SampleServer, "?Object=MvtSecData&Operation=Get&ClientTimestamp=", 2000);
}
void BM_GroupList(benchmark::State& s) {
  Requests(s, SampleServer, "?User=bob&Domain=SALES&Operation=Get&Object=UserGroups", 2000);
}
void BM_LargeApplicationDocument(benchmark::State& s) {
  Requests(s, LargeServer, "?Object=Appl&Operation=GetAll", 10);
}

BENCHMARK(BM_DateTime)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Combined)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_GroupList)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_LargeApplicationDocument)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
