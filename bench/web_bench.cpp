// GetWebPage of a 5 MiB document from a loopback HTTP server, beside the
// curl program fetching the same URL in the same run.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "security/common/web.h"
// The loopback responder of the tests, compiled into this program.
#include "tests/support/http_responder.cpp"

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

void BM_GetWebPage5MiB(benchmark::State& state) {
  const std::string url = Server().url("/doc");
  for (auto _ : state) {
    std::string page;
    if (!qrn::GetWebPage(url, page, true)) state.SkipWithError("GetWebPage failed");
    benchmark::DoNotOptimize(page.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(5 << 20));
}
BENCHMARK(BM_GetWebPage5MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CurlProgram5MiB(benchmark::State& state) {
  const std::string url = Server().url("/doc");
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
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(5 << 20));
}
BENCHMARK(BM_CurlProgram5MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
