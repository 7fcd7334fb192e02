// GetHttpDocument of a 1 MiB answer (text lines ending in CR LF, so the
// carriage-return filter and the BSTR conversion are measured too), beside
// the curl program posting the same form data to the same URL in the same
// run.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "qrnauth/qrnauthenticate.h"
// The loopback responder of the tests, compiled into this program.
#include "tests/support/http_responder.cpp"

extern char** environ;

namespace {

std::string OneMiBAnswer() {
  std::string body;
  while (body.size() < (size_t{1} << 20) - 64)
    body += "0123456789abcdef0123456789abcdef0123456789abcdef0123456789ab\r\n";
  return body;
}

const std::string& Url() {
  static qrn::test::HttpResponder server(qrn::test::HttpReply{200, OneMiBAnswer(), {}, false});
  static const std::string url = server.url("/page.asp");
  return url;
}

// A block of this run's own, empty: no credentials are offered.
struct PrivateIdentityBlock {
  std::string name = "/qrnauth-hostdoc-bench-" + std::to_string(getpid());
  PrivateIdentityBlock() { setenv("QRNAUTH_IDENTITY_NAME", name.c_str(), 1); }
  ~PrivateIdentityBlock() { shm_unlink(name.c_str()); }
};

void BM_GetHttpDocument1MiB(benchmark::State& state) {
  static PrivateIdentityBlock block;
  CQRNAuthenticate auth;
  size_t bytes = 0;
  for (auto _ : state) {
    BSTR document = nullptr;
    if (auth.GetHttpDocument(Url().c_str(), "user=bo&action=list", &document) != S_OK ||
        SysStringLen(document) < (1u << 19)) {
      state.SkipWithError("GetHttpDocument failed");
    }
    bytes = SysStringLen(document);
    SysFreeString(document);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_GetHttpDocument1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CurlProgramPost1MiB(benchmark::State& state) {
  const char* args[] = {"curl",      "-s",     "--noproxy",           "*",           "-o",
                        "/dev/null", "--data", "user=bo&action=list", Url().c_str(), nullptr};
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
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(OneMiBAnswer().size()));
}
BENCHMARK(BM_CurlProgramPost1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
