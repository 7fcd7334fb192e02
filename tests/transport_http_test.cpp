// HttpAuthenticationClient against loopback servers: one driven by our own
// acceptor (the whole NTLM exchange, with its answers written in small
// pieces), and misbehaving ones (200 at once, a Negotiate challenge, a head
// over 8192 bytes, one that stalls, one that closes after the challenge).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "qrnauth/qrnauthenticate.h"
#include "tests/support/ntlm_http_server.h"
#include "tests/support/test_env.h"

namespace {

using Mode = qrn::test::NtlmHttpServer::Mode;

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

class HttpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string users = sandbox_.dir().File("users");
    qrn::test::WriteFile(users, "DOM:alice:secret\n");
    setenv("NTLM_USER_FILE", users.c_str(), 1);
  }
  // One HttpAuthenticationClient on a fresh connection.
  bool Run(const qrn::test::NtlmHttpServer& server, const char* password,
           const std::string& url = "/doc", const std::string& body = "") {
    CQRNAuthenticate client;
    client.SetAuthenticationCredential("DOM", "alice", password);
    int fd = Connect(server.port());
    bool ok = client.HttpAuthenticationClient(static_cast<uint32_t>(fd), "POST", url.c_str(),
                                              body.c_str(), static_cast<uint32_t>(body.size()));
    close(fd);
    return ok;
  }
  qrn::test::HiveSandbox sandbox_;
};

TEST_F(HttpTransportTest, NtlmExchangeAgainstOurAcceptor) {
  {
    qrn::test::NtlmHttpServer server(Mode::kNtlm, /*slow_writes=*/true);
    EXPECT_TRUE(Run(server, "secret", "/doc?x=1", "a=1&b=2"));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string head =
        "POST /doc?x=1 HTTP/1.0\r\nUser-Agent: AuthClient\r\nAccept: */*\r\n"
        "Content-Length: 7\r\nConnection: Keep-Alive\r\nAuthorization: NTLM ";
    EXPECT_EQ(requests[0].rfind(head + "TlRMTVNTUAAB", 0), 0u) << requests[0];
    EXPECT_EQ(requests[1].rfind(head + "TlRMTVNTUAAD", 0), 0u) << requests[1];
    EXPECT_EQ(requests[1].substr(requests[1].size() - 11), "\r\n\r\na=1&b=2");
    EXPECT_EQ(server.accepted(), std::vector<std::string>{"DOM\\alice"});
  }
  qrn::test::NtlmHttpServer server(Mode::kNtlm);
  EXPECT_FALSE(Run(server, "wrong"));
  EXPECT_TRUE(server.accepted().empty());
  // Without a body there is no Content-Length.
  EXPECT_TRUE(Run(server, "secret", "/"));
  EXPECT_EQ(server.requests().back().find("Content-Length"), std::string::npos);
}

TEST_F(HttpTransportTest, OtherServersThatEndTheExchange) {
  qrn::test::NtlmHttpServer at_once(Mode::kOkAtOnce);
  EXPECT_TRUE(Run(at_once, "wrong"));
  EXPECT_EQ(at_once.requests().size(), 1u);
  // The parameter of another scheme is taken as the NTLM challenge.
  qrn::test::NtlmHttpServer negotiate(Mode::kNegotiate);
  EXPECT_TRUE(Run(negotiate, "secret"));
  EXPECT_EQ(negotiate.accepted().size(), 1u);
}

TEST_F(HttpTransportTest, RefusedHeadsStallsAndClosedConnectionsFailCleanly) {
  auto timed = [&](const qrn::test::NtlmHttpServer& server, const std::string& url = "/") {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Run(server, "secret", url));
    return std::chrono::steady_clock::now() - start;
  };
  qrn::test::NtlmHttpServer huge(Mode::kHugeHead);
  EXPECT_LT(timed(huge), std::chrono::seconds(5));
  EXPECT_EQ(huge.requests().size(), 1u);

  qrn::test::NtlmHttpServer closing(Mode::kCloseAfterChallenge);
  EXPECT_LT(timed(closing), std::chrono::seconds(5));

  // A request head that would not fit 1024 bytes is not sent at all.
  qrn::test::NtlmHttpServer normal(Mode::kNtlm);
  EXPECT_LT(timed(normal, "/" + std::string(900, 'p')), std::chrono::seconds(5));
  EXPECT_TRUE(normal.requests().empty());

  CQRNAuthenticate::SetTransportTimeout(300);
  qrn::test::NtlmHttpServer stall(Mode::kStall);
  auto waited = timed(stall);
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

// A request body leaves together with its head: sent apart on TCP it
// waits for the acknowledgement of the head, which the server delays
// (about 40 ms per request, two requests per exchange).
TEST_F(HttpTransportTest, BodiesDoNotWaitForAcknowledgements) {
  qrn::test::NtlmHttpServer server(Mode::kNtlm);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(Run(server, "secret", "/form", "field=value"));
  // Waiting for acknowledgements took about 0.6 s here.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

// An object that completed a conversation as a socket server has `done`
// set; its HTTP client must still wait for the server's 200.
TEST_F(HttpTransportTest, EarlierConversationDoesNotCountAsSuccess) {
  CQRNAuthenticate object;
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  std::thread peer([&] {
    CQRNAuthenticate client;
    client.SetAuthenticationCredential("DOM", "alice", "secret");
    EXPECT_TRUE(client.SocketAuthenticationClient(static_cast<uint32_t>(pair[1])));
  });
  EXPECT_TRUE(object.SocketAuthenticationServer(static_cast<uint32_t>(pair[0])));
  peer.join();
  close(pair[0]);
  close(pair[1]);

  qrn::test::NtlmHttpServer server(Mode::kNtlm);
  object.SetAuthenticationCredential("DOM", "alice", "wrong");
  int fd = Connect(server.port());
  EXPECT_FALSE(object.HttpAuthenticationClient(static_cast<uint32_t>(fd), "GET", "/", "", 0));
  close(fd);
  EXPECT_EQ(server.requests().size(), 2u);
}

}  // namespace
