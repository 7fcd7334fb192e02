// The transports against independent NTLM implementations (Debian's
// python3-ntlm-auth and curl): our socket server against a foreign
// initiator, our socket client against a foreign acceptor, http-auth
// against an HTTP server that verifies with the foreign library, and curl's
// NTLM against the HTTP test server on our acceptor.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/support/line_child.h"
#include "tests/support/ntlm_http_server.h"
#include "tests/support/test_env.h"

namespace {

using qrn::test::LineChild;

constexpr char kPython[] = "/usr/bin/python3";

class TransportInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    users_ = sandbox_.dir().File("users");
    qrn::test::WriteFile(users_, "DOM:alice:secret\n");
    setenv("NTLM_USER_FILE", users_.c_str(), 1);
    scripts_ = qrn::test::SourceDir() + "/tests/interop/";
    // python3-ntlm-auth needs MD4, which OpenSSL 3 keeps in its legacy provider.
    env_ = {"OPENSSL_CONF=" + scripts_ + "openssl-legacy.cnf"};
  }
  static std::string Port(const std::string& listening) {
    return listening.substr(listening.rfind(':') + 1);
  }
  qrn::test::HiveSandbox sandbox_;
  std::string users_, scripts_;
  std::vector<std::string> env_;
};

TEST_F(TransportInteropTest, SocketServerAgainstIndependentInitiator) {
  for (const char* password : {"secret", "wrong"}) {
    LineChild server({qrn::test::CliPath(), "socket-server", "--listen", "127.0.0.1:0"});
    std::string listening = server.Line();
    ASSERT_EQ(listening.rfind("listening ", 0), 0u) << listening;
    LineChild client({kPython, scripts_ + "ntlm_frame_client.py", "127.0.0.1", Port(listening),
                      "DOM", "alice", password},
                     env_);
    bool right = std::string(password) == "secret";
    std::string expected = right ? "authenticated DOM\\alice" : "denied";
    EXPECT_EQ(client.Line(), expected);
    EXPECT_EQ(server.Line(), expected);
    EXPECT_EQ(server.Wait(), right ? 0 : 1);
  }
}

TEST_F(TransportInteropTest, SocketClientAgainstIndependentAcceptor) {
  for (const char* password : {"secret", "wrong"}) {
    LineChild server({kPython, scripts_ + "ntlm_frame_server.py", "DOM", "alice", "secret"}, env_);
    std::string listening = server.Line();
    ASSERT_EQ(listening.rfind("listening ", 0), 0u) << listening;
    LineChild client({qrn::test::CliPath(), "socket-client", "127.0.0.1:" + Port(listening),
                      "--domain", "DOM", "--user", "alice"},
                     {}, std::string(password) + "\n");
    bool right = std::string(password) == "secret";
    EXPECT_EQ(server.Line(), right ? "ok DOM\\alice" : "bad proof");
    EXPECT_EQ(client.Line(), right ? "authenticated" : "denied");
    EXPECT_EQ(client.Wait(), right ? 0 : 1);
  }
}

TEST_F(TransportInteropTest, HttpAuthAgainstIndependentVerifier) {
  for (const char* password : {"secret", "wrong"}) {
    LineChild server({kPython, scripts_ + "ntlm_http_verify.py", "DOM", "alice", "secret"}, env_);
    std::string listening = server.Line();
    ASSERT_EQ(listening.rfind("listening ", 0), 0u) << listening;
    LineChild client(
        {qrn::test::CliPath(), "http-auth", "http://127.0.0.1:" + Port(listening) + "/form",
         "--domain", "DOM", "--user", "alice", "--verb", "POST", "--data", "a=1"},
        {}, std::string(password) + "\n");
    bool right = std::string(password) == "secret";
    EXPECT_EQ(server.Line(), right ? "ok DOM\\alice POST" : "bad proof POST");
    EXPECT_EQ(client.Line(), right ? "authenticated" : "denied");
    EXPECT_EQ(client.Wait(), right ? 0 : 1);
  }
}

TEST_F(TransportInteropTest, CurlNtlmAgainstOurHttpAcceptor) {
  qrn::test::NtlmHttpServer server(qrn::test::NtlmHttpServer::Mode::kNtlm);
  auto curl = [&](const std::string& credentials) {
    return qrn::test::RunProcess({"/usr/bin/curl", "-s", "--ntlm", "-u", credentials, "-w",
                                  " %{http_code}", server.url("/doc")},
                                 env_, "", 30);
  };
  auto good = curl("DOM\\alice:secret");
  EXPECT_EQ(good.out, "hello DOM\\alice 200") << good.err;
  auto bad = curl("DOM\\alice:wrong");
  EXPECT_EQ(bad.out, "refused\n 403");
  EXPECT_EQ(server.accepted(), std::vector<std::string>{"DOM\\alice"});
}

}  // namespace
