// The socket transport between two processes (our library on one side,
// the qrnauth commands on the other), its audit records, peers that
// misbehave, and the transport commands' contract with scripts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/transport_channel.h"
#include "tests/support/line_child.h"
#include "tests/support/ntlm_http_server.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace {

using namespace std::chrono_literals;
using namespace qrn::platform;

// A qrnauth child read line by line.
class CliChild : public qrn::test::LineChild {
 public:
  explicit CliChild(std::vector<std::string> args, const std::string& input = "")
      : LineChild(WithCli(std::move(args)), {}, input) {}

 private:
  static std::vector<std::string> WithCli(std::vector<std::string> args) {
    args.insert(args.begin(), qrn::test::CliPath());
    return args;
  }
};

int Connect(const std::string& host_port) {
  size_t colon = host_port.rfind(':');
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, host_port.substr(0, colon).c_str(), &addr.sin_addr);
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(host_port.substr(colon + 1))));
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << host_port;
  return fd;
}

// A listening loopback socket on a free port.
int Listen(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(listen(fd, 4), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

std::string Verdict(int fd) {
  std::vector<uint8_t> text(256);
  qrn::SocketChannel channel(fd);
  uint32_t length = 0;
  if (!qrn::ReceiveFrame(channel, text.data(), 256, &length)) return "<none>";
  return std::string(text.begin(), text.begin() + length);
}

class SocketTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    users_ = sandbox_.dir().File("users");
    qrn::test::WriteFile(users_, "DOM:alice:secret\n");
    setenv("NTLM_USER_FILE", users_.c_str(), 1);
  }
  qrn::test::HiveSandbox sandbox_;
  std::string users_;
};

TEST_F(SocketTransportTest, HandshakeWithAnotherProcess) {
  for (const char* password : {"secret", "wrong"}) {
    CliChild server({"socket-server", "--listen", "127.0.0.1:0"});
    std::string first = server.Line();
    ASSERT_EQ(first.rfind("listening 127.0.0.1:", 0), 0u) << first;
    int fd = Connect(first.substr(10));
    CQRNAuthenticate client;
    client.SetAuthenticationCredential("DOM", "alice", password);
    // The client's side completes without hearing the server's last step,
    // so it answers true either way; the server decides.
    EXPECT_TRUE(client.SocketAuthenticationClient(static_cast<uint32_t>(fd)));
    bool right = std::string(password) == "secret";
    EXPECT_EQ(Verdict(fd), right ? "authenticated DOM\\alice" : "denied");
    close(fd);
    EXPECT_EQ(server.Line(), right ? "authenticated DOM\\alice" : "denied");
    EXPECT_EQ(server.Wait(), right ? 0 : 1);
  }

  // Our server against the client command, twice on one object: every call
  // starts a new conversation.
  int port = 0;
  int listener = Listen(&port);
  CQRNAuthenticate server;
  for (int round = 0; round < 2; ++round) {
    CliChild client({"socket-client", "127.0.0.1:" + std::to_string(port), "--domain", "DOM",
                     "--user", "alice"},
                    "secret\n");
    int fd = accept(listener, nullptr, nullptr);
    EXPECT_TRUE(server.SocketAuthenticationServer(static_cast<uint32_t>(fd)));
    close(fd);  // no verdict: the client's own answer counts
    EXPECT_EQ(client.Line(), "authenticated");
    EXPECT_EQ(client.Wait(), 0);
    char domain[256], user[256];
    ASSERT_TRUE(server.GetClientIdentity(domain, user));
    EXPECT_EQ(std::string(domain) + "\\" + user, "DOM\\alice");
  }
  close(listener);
}

TEST_F(SocketTransportTest, ServerCommandImpersonatesTheClient) {
  if (geteuid() != 0) GTEST_SKIP() << "switching ids needs root";
  qrn::test::WriteFile(users_, "DOM:nobody:pw\n");
  CliChild server({"socket-server", "--listen", "127.0.0.1:0", "--impersonate"});
  std::string first = server.Line();
  ASSERT_EQ(first.rfind("listening ", 0), 0u) << first;
  int fd = Connect(first.substr(10));
  CQRNAuthenticate client;
  client.SetAuthenticationCredential("DOM", "nobody", "pw");
  EXPECT_TRUE(client.SocketAuthenticationClient(static_cast<uint32_t>(fd)));
  close(fd);
  EXPECT_EQ(server.Line(), "authenticated DOM\\nobody");
  // A local account: this computer's name, then the account.
  std::string whoami = server.Line();
  EXPECT_EQ(whoami.rfind("whoami ", 0), 0u) << whoami;
  EXPECT_EQ(whoami.substr(whoami.size() - 7), "\\nobody") << whoami;
  EXPECT_EQ(server.Wait(), 0);
}

TEST_F(SocketTransportTest, ClientAuditRecords) {
  qrn::test::SecdProcess secd(qrn::test::SampleDataPath());
  qrn::platform::RegistryKey key;
  ASSERT_EQ(key.Create(qrn::platform::RegHive::LocalMachine, "SOFTWARE\\Korvane\\MVT"),
            ERROR_SUCCESS);
  std::string url = secd.url() + std::string(1, '\0');
  ASSERT_EQ(key.SetRaw("URL", REG_SZ, url.data(), static_cast<uint32_t>(url.size())),
            ERROR_SUCCESS);
  auto handshake = [&](auto serve) {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::thread peer(serve, pair[1]);
    CQRNAuthenticate client;
    client.SetAuthenticationCredential("DOM", "alice", "secret");
    bool ok = client.SocketAuthenticationClient(static_cast<uint32_t>(pair[0]));
    peer.join();
    close(pair[0]);
    return ok;
  };
  // A whole handshake: "Success".
  EXPECT_TRUE(handshake([](int fd) {
    CQRNAuthenticate server;
    EXPECT_TRUE(server.SocketAuthenticationServer(static_cast<uint32_t>(fd)));
    close(fd);
  }));
  // A server that goes away after the first token: "Failed".
  EXPECT_FALSE(handshake([](int fd) {
    char buffer[512];
    (void)!read(fd, buffer, sizeof buffer);
    close(fd);
  }));
  // The first token cannot go out: no record.
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  close(pair[1]);
  CQRNAuthenticate client;
  EXPECT_FALSE(client.SocketAuthenticationClient(static_cast<uint32_t>(pair[0])));
  close(pair[0]);

  std::string log = secd.AuditLog();
  size_t lines = 0;
  for (char c : log) lines += c == '\n';
  ASSERT_EQ(lines, 2u) << log;
  size_t second = log.find('\n') + 1;
  EXPECT_NE(log.find("DOM\\\\alice"), std::string::npos) << log;
  EXPECT_NE(log.substr(0, second).find("\"Success\""), std::string::npos) << log;
  EXPECT_NE(log.substr(second).find("\"Failed\""), std::string::npos) << log;
}

TEST_F(SocketTransportTest, PeersThatMisbehave) {
  auto run_server = [](const std::string& sent, bool keep_open) {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(write(pair[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    if (!keep_open) shutdown(pair[1], SHUT_WR);
    CQRNAuthenticate server;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.SocketAuthenticationServer(static_cast<uint32_t>(pair[0])));
    auto took = std::chrono::steady_clock::now() - start;
    char next = 0;
    long left = recv(pair[0], &next, 1, MSG_DONTWAIT);
    close(pair[0]);
    close(pair[1]);
    return std::make_pair(took, left == 1 ? next : '\0');
  };
  // A length beyond the token buffer: refused at once, its bytes unread,
  // although the peer keeps the connection open.
  uint32_t big = 0x10000;
  std::string frame(reinterpret_cast<char*>(&big), 4);
  auto [took, next] = run_server(frame + "Zrest", true);
  EXPECT_LT(took, 5s);
  EXPECT_EQ(next, 'Z');
  // Closed after three length bytes.
  EXPECT_LT(run_server(frame.substr(0, 3), false).first, 5s);

  // A peer that accepts and never answers cannot hold the client.
  CQRNAuthenticate::SetTransportTimeout(300);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  CQRNAuthenticate client;
  client.SetAuthenticationCredential("DOM", "alice", "secret");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.SocketAuthenticationClient(static_cast<uint32_t>(pair[0])));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  close(pair[0]);
  close(pair[1]);
}

// A frame's length and token leave together: on TCP a token sent apart
// waits for the acknowledgement of its length (delayed by the peer), about
// 40 ms per frame, three frames per handshake.
TEST_F(SocketTransportTest, TcpHandshakesDoNotWaitForAcknowledgements) {
  int port = 0;
  int listener = Listen(&port);
  constexpr int kRounds = 10;
  std::thread server_thread([&] {
    CQRNAuthenticate server;
    for (int i = 0; i < kRounds; ++i) {
      int fd = accept(listener, nullptr, nullptr);
      EXPECT_TRUE(server.SocketAuthenticationServer(static_cast<uint32_t>(fd)));
      uint8_t verdict = 1;
      qrn::SocketChannel channel(fd);
      qrn::SendFrame(channel, &verdict, 1);
      close(fd);
    }
  });
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    int fd = Connect("127.0.0.1:" + std::to_string(port));
    CQRNAuthenticate client;
    client.SetAuthenticationCredential("DOM", "alice", "secret");
    EXPECT_TRUE(client.SocketAuthenticationClient(static_cast<uint32_t>(fd)));
    EXPECT_EQ(Verdict(fd), "\x01");
    close(fd);
  }
  auto took = std::chrono::steady_clock::now() - start;
  server_thread.join();
  close(listener);
  // Waiting for acknowledgements took about 0.7 s here.
  EXPECT_LT(took, 600ms);
}

TEST_F(SocketTransportTest, TransportCommands) {
  auto run = [&](std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), qrn::test::CliPath());
    return qrn::test::RunProcess(args, {}, input, 30);
  };
  for (const char* command : {"socket-server", "socket-client", "http-auth"}) {
    auto help = run({command, "--help"});
    EXPECT_EQ(help.exit_code, 0) << command;
    EXPECT_NE(help.out.find("usage: qrnauth"), std::string::npos) << command;
  }
  EXPECT_EQ(run({"socket-client"}).exit_code, 2);
  EXPECT_EQ(run({"socket-client", "127.0.0.1"}).exit_code, 2);
  EXPECT_EQ(run({"socket-server", "--listen", "127.0.0.1:x"}).exit_code, 2);
  EXPECT_EQ(run({"http-auth", "https://127.0.0.1/"}).exit_code, 2);
  // Nobody listens on a port we just closed: an error, not a refusal.
  int port = 0;
  close(Listen(&port));
  auto refused = run({"socket-client", "127.0.0.1:" + std::to_string(port)});
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_EQ(refused.out, "");

  qrn::test::NtlmHttpServer web(qrn::test::NtlmHttpServer::Mode::kNtlm);
  auto ok = run({"http-auth", web.url("/x"), "--domain", "DOM", "--user", "alice", "--verb", "PUT",
                 "--data", "v=1"},
                "secret\n");
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
  EXPECT_EQ(ok.out, "authenticated\n");
  EXPECT_EQ(web.requests().back().rfind("PUT /x HTTP/1.0\r\n", 0), 0u);
  auto denied = run({"http-auth", web.url("/x"), "--domain", "DOM", "--user", "alice"}, "no\n");
  EXPECT_EQ(denied.exit_code, 1);
  EXPECT_EQ(denied.out, "denied\n");
}

}  // namespace
