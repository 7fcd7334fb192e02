// GetWebPage of a 5 MiB document, beside the curl program fetching the same
// URL in the same run: once from a canned loopback responder, once from
// qrnsecd serving a data file whose application document is about 5 MiB.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "security/common/web.h"
// The loopback responder of the tests, compiled into this program.
#include "tests/support/http_responder.cpp"
#include "tests/support/secd_data.h"

extern char** environ;

namespace {

std::string FiveMiBDocument() {
  std::string body = "<DOCUMENT>";
  while (body.size() < (size_t{5} << 20) - 11) body += "<ROW>0123456789abcdef</ROW>\n";
  body += "</DOCUMENT>";
  return body;
}

qrn::test::HttpResponder& Server() {
  static qrn::test::HttpResponder server(qrn::test::HttpReply{200, FiveMiBDocument(), {}, false});
  return server;
}

// qrnsecd started once for the run; its first output line is its URL.
struct Secd {
  pid_t pid = -1;
  std::string url;
  std::string data_file;
  Secd() {
    char dir[] = "/tmp/qrnauth-webbench-XXXXXX";
    if (!mkdtemp(dir)) return;
    data_file = std::string(dir) + "/data.json";
    if (FILE* f = std::fopen(data_file.c_str(), "w")) {
      const std::string json = qrn::test::LargeDataJson(42000);
      std::fwrite(json.data(), 1, json.size(), f);
      std::fclose(f);
    }
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string server = std::string(QRNAUTH_BINARY_DIR) + "/qrnsecd";
    const char* args[] = {server.c_str(), "--data",      data_file.c_str(),
                          "--listen",     "127.0.0.1:0", nullptr};
    if (posix_spawn(&pid, server.c_str(), &actions, nullptr, const_cast<char**>(args), environ) !=
        0)
      pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char c;
    while (pid > 0 && read(out[0], &c, 1) == 1 && c != '\n') url.push_back(c);
    close(out[0]);
  }
  ~Secd() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (!data_file.empty()) std::remove(data_file.c_str());
  }
};

std::string SecdDocumentUrl() {
  static Secd secd;
  return secd.url.empty() ? std::string() : secd.url + "?Object=Appl&Operation=GetAll";
}

void FetchWithGetWebPage(benchmark::State& state, const std::string& url) {
  if (url.empty()) {
    state.SkipWithError("no server");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) {
    std::string page;
    if (!qrn::GetWebPage(url, page, true)) state.SkipWithError("GetWebPage failed");
    bytes = page.size();
    benchmark::DoNotOptimize(page.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

void FetchWithCurl(benchmark::State& state, const std::string& url) {
  if (url.empty()) {
    state.SkipWithError("no server");
    return;
  }
  const char* args[] = {"curl", "-s", "--noproxy", "*", "-o", "/dev/null", url.c_str(), nullptr};
  char** argv = const_cast<char**>(args);
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("curl could not be started");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("curl failed");
  }
}

void BM_GetWebPage5MiB(benchmark::State& state) {
  FetchWithGetWebPage(state, Server().url("/doc"));
}
BENCHMARK(BM_GetWebPage5MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_CurlProgram5MiB(benchmark::State& state) { FetchWithCurl(state, Server().url("/doc")); }
BENCHMARK(BM_CurlProgram5MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_GetWebPageQrnsecd(benchmark::State& state) {
  FetchWithGetWebPage(state, SecdDocumentUrl());
}
BENCHMARK(BM_GetWebPageQrnsecd)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_CurlProgramQrnsecd(benchmark::State& state) { FetchWithCurl(state, SecdDocumentUrl()); }
BENCHMARK(BM_CurlProgramQrnsecd)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
