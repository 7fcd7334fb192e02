// Socket handshakes per second between two processes on loopback: a child
// process serves SocketAuthenticationServer on every connection (one
// object for all of them) and sends a one-byte verdict frame after each;
// the benchmark connects, runs SocketAuthenticationClient on a new object
// and waits for the verdict, so each iteration is one whole handshake.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/transport_channel.h"

namespace {

// NT hash (MD4 of the UTF-16LE password) of "secret": no password hashing
// on the acceptor side.
constexpr char kSecretHash[] = "878D8014606CDA29677A44EFA1353FC7";

pid_t server_pid = -1;
sockaddr_in server_addr{};

void ServeForever(int listener) {
  CQRNAuthenticate server;
  for (;;) {
    // Idle for 30 s: the benchmark is gone.
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 30000) != 1) _exit(0);
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) _exit(1);
    uint8_t verdict = server.SocketAuthenticationServer(static_cast<uint32_t>(fd)) ? 1 : 0;
    qrn::SocketChannel channel(fd);
    qrn::SendFrame(channel, &verdict, 1);
    close(fd);
  }
}

void StopServer() {
  if (server_pid > 0) {
    kill(server_pid, SIGTERM);
    waitpid(server_pid, nullptr, 0);
  }
}

// Forks the server before this process makes any provider call.
bool StartServer() {
  if (server_pid > 0) return true;
  char pattern[] = "/tmp/qrnauth-bench-XXXXXX";
  std::string folder = mkdtemp(pattern);
  std::ofstream(folder + "/hash") << "DOM\\alice:1000:XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX:"
                                  << kSecretHash << ":[U          ]:LCT-00000000:\n";
  setenv("NTLM_USER_FILE", (folder + "/hash").c_str(), 1);
  setenv("QRNAUTH_MACHINE_HIVE", (folder + "/machine.reg").c_str(), 1);
  setenv("QRNAUTH_USER_HIVE", (folder + "/user.reg").c_str(), 1);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  server_addr.sin_family = AF_INET;
  server_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof server_addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&server_addr), sizeof server_addr) != 0 ||
      listen(listener, 64) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&server_addr), &len) != 0) {
    return false;
  }
  server_pid = fork();
  if (server_pid == 0) ServeForever(listener);
  close(listener);
  atexit(StopServer);
  return server_pid > 0;
}

void BM_SocketHandshake(benchmark::State& state) {
  if (!StartServer()) {
    state.SkipWithError("cannot start the server process");
    return;
  }
  CQRNAuthenticate credentials;
  credentials.SetAuthenticationCredential("DOM", "alice", "secret");
  for (auto _ : state) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&server_addr), sizeof server_addr) != 0) {
      state.SkipWithError("connect failed");
      close(fd);
      break;
    }
    CQRNAuthenticate client;
    bool ok = client.SocketAuthenticationClient(static_cast<uint32_t>(fd));
    uint8_t verdict = 0;
    uint32_t length = 0;
    qrn::SocketChannel channel(fd);
    ok = ok && qrn::ReceiveFrame(channel, &verdict, 1, &length) && length == 1 && verdict == 1;
    close(fd);
    if (!ok) {
      state.SkipWithError("handshake refused");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SocketHandshake)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
