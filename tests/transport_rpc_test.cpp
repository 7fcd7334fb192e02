// The RPC transport: the turn order of two conversations served by one
// object, the trail of a refused step, impersonation of an RPC client and
// its end, and which client credentials each transport hands the provider
// (through a scripted provider table that records them).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/sspi.h"
#include "qrnauth/qrnauthenticate.h"
#include "tests/support/authorize_env.h"
#include "tests/support/test_env.h"

namespace {

using namespace qrn::platform;

// (detail, source) of every entry of the authentication trail.
std::vector<std::pair<std::string, std::string>> Trail() {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const qrn::test::TrailRow& row : qrn::test::AuthenticationTrailRows())
    rows.emplace_back(row.detail, row.source);
  return rows;
}

struct Token {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kNtlmMaxToken);
  uint32_t length = kNtlmMaxToken;
  bool done = false;
};

class RpcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string users = sandbox_.dir().File("users");
    qrn::test::WriteFile(users, "DOM:alice:secret\nDOM:nobody:pw\n");
    setenv("NTLM_USER_FILE", users.c_str(), 1);
  }
  static bool Client(CQRNAuthenticate& c, const Token* in, Token* out) {
    out->length = kNtlmMaxToken;
    return c.RpcAuthenticationClient(in ? in->bytes.data() : nullptr, in ? in->length : 0,
                                     out->bytes.data(), &out->length, &out->done);
  }
  static bool Server(CQRNAuthenticate& s, _AUTH_SEQ* seq, const Token& in, Token* out) {
    out->length = kNtlmMaxToken;
    return s.RpcAuthenticationServer(seq, in.bytes.data(), in.length, out->bytes.data(),
                                     &out->length, &out->done);
  }
  static _AUTH_SEQ Fresh() {
    _AUTH_SEQ seq{};
    seq.newConversation = 1;
    return seq;
  }
  qrn::test::HiveSandbox sandbox_;
};

TEST_F(RpcTest, TwoConversationsOnOneServerObject) {
  CQRNAuthenticate server, alice, mallory;
  _AUTH_SEQ a = Fresh(), b = Fresh();
  Token a1, a2, a3, a4, b1, b2, b3, b4;
  // Credentials are taken when a client's conversation starts; the first
  // call's input is ignored.
  alice.SetAuthenticationCredential("DOM", "alice", "secret");
  Token junk;
  junk.length = 5;
  ASSERT_TRUE(Client(alice, &junk, &a1));
  mallory.SetAuthenticationCredential("DOM", "alice", "guess");
  ASSERT_TRUE(Client(mallory, nullptr, &b1));
  EXPECT_FALSE(a1.done);

  // Interleaved steps of both conversations on one server object.
  ASSERT_TRUE(Server(server, &a, a1, &a2));
  ASSERT_TRUE(Server(server, &b, b1, &b2));
  EXPECT_FALSE(a2.done);
  EXPECT_GT(a2.length, 0u);
  ASSERT_TRUE(Client(alice, &a2, &a3));
  ASSERT_TRUE(Client(mallory, &b2, &b3));
  EXPECT_TRUE(a3.done);  // the client is complete, its last token still to send
  EXPECT_GT(a3.length, 0u);
  EXPECT_FALSE(Server(server, &b, b3, &b4));
  ASSERT_TRUE(Server(server, &a, a3, &a4));
  EXPECT_TRUE(a4.done);
  EXPECT_EQ(a4.length, 0u);

  char domain[256], user[256];
  ASSERT_TRUE(server.RpcGetClientIdentity(&a, domain, user));
  EXPECT_STREQ(domain, "DOM");
  EXPECT_STREQ(user, "alice");
  EXPECT_FALSE(server.RpcGetClientIdentity(&b, domain, user));
  // The object's own server side took no part.
  EXPECT_FALSE(server.GetClientIdentity(domain, user));

  auto rows = Trail();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].first, "Logon denied");
  EXPECT_EQ(rows[0].second,
            "security/common/qrnauthenticate(775):RpcAuthenticationServer.AcceptSecurityContext");

  // A damaged first token, and the records the host releases.
  _AUTH_SEQ c = Fresh();
  Token bad, out;
  bad.length = 12;
  EXPECT_FALSE(Server(server, &c, bad, &out));
  EXPECT_EQ(Trail().back().second,
            "security/common/qrnauthenticate(766):RpcAuthenticationServer.AcceptSecurityContext");
  for (_AUTH_SEQ* seq : {&a, &b, &c}) {
    EXPECT_TRUE(server.RpcReleaseConversation(seq));
    EXPECT_FALSE(seq->haveCredentials || seq->haveContext);
    EXPECT_NE(seq->newConversation, 0);
  }
}

TEST_F(RpcTest, ImpersonateTheRpcClientThenRevert) {
  if (geteuid() != 0) GTEST_SKIP() << "switching ids needs root";
  CQRNAuthenticate server, client;
  client.SetAuthenticationCredential("DOM", "nobody", "pw");
  _AUTH_SEQ seq = Fresh();
  Token t1, t2, t3, t4;
  ASSERT_TRUE(Client(client, nullptr, &t1));
  ASSERT_TRUE(Server(server, &seq, t1, &t2));
  // Not complete yet: nothing to impersonate.
  EXPECT_FALSE(server.RpcImpersonateContext(&seq));
  ASSERT_TRUE(Client(client, &t2, &t3));
  ASSERT_TRUE(Server(server, &seq, t3, &t4));

  std::promise<void> switched;
  std::future<uid_t> other = std::async(std::launch::async, [&] {
    switched.get_future().wait();
    return geteuid();
  });
  ASSERT_TRUE(server.RpcImpersonateContext(&seq));
  switched.set_value();
  EXPECT_EQ(geteuid(), 65534u);
  EXPECT_EQ(other.get(), 0u);  // another thread keeps its identity
  EXPECT_TRUE(server.RpcRevertContext(&seq));
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(getegid(), 0u);
  server.RpcReleaseConversation(&seq);
  EXPECT_FALSE(server.RpcImpersonateContext(&seq));
  EXPECT_FALSE(server.RpcImpersonateContext(nullptr));
}

// ---- which credentials reach the provider ----------------------------------------

struct Recorded {
  int acquired = 0;
  bool explicit_identity = false;
} recorded;

SECURITY_STATUS FakeQuery(const char*, SecPkgInfoA** info) {
  static SecPkgInfoA block{0, 1, 10, 64, nullptr, nullptr};
  *info = &block;
  return SEC_E_OK;
}
SECURITY_STATUS FakeFree(void*) { return SEC_E_OK; }
SECURITY_STATUS FakeAcquire(const char*, const char*, uint32_t, void*, void* auth, void*, void*,
                            CredHandle* cred, TimeStamp*) {
  ++recorded.acquired;
  recorded.explicit_identity = auth != nullptr;
  *cred = {1, 1};
  return SEC_E_OK;
}
SECURITY_STATUS FakeRelease(SecHandle*) { return SEC_E_OK; }
// Every client step produces a 3-byte token and asks for more.
SECURITY_STATUS FakeInitialize(CredHandle*, CtxtHandle*, const char*, uint32_t, uint32_t, uint32_t,
                               SecBufferDesc*, uint32_t, CtxtHandle* ctx, SecBufferDesc* out,
                               uint32_t*, TimeStamp*) {
  *ctx = {2, 2};
  std::memcpy(out->pBuffers[0].pvBuffer, "abc", 3);
  out->pBuffers[0].cbBuffer = 3;
  return SEC_I_CONTINUE_NEEDED;
}

TEST_F(RpcTest, ExplicitCredentialsNeedADomainExceptOnTheSocket) {
  SecurityFunctionTableA table{};
  table.QuerySecurityPackageInfoA = FakeQuery;
  table.FreeContextBuffer = FakeFree;
  table.AcquireCredentialsHandleA = FakeAcquire;
  table.FreeCredentialsHandle = FakeRelease;
  table.DeleteSecurityContext = FakeRelease;
  table.InitializeSecurityContextA = FakeInitialize;
  auto peer = [](int fd) {
    return std::thread([fd] {
      char buffer[1024];
      (void)!read(fd, buffer, sizeof buffer);  // the first message, then close
      close(fd);
    });
  };
  for (const char* domain : {"", "DOM"}) {
    CQRNAuthenticate rpc(&table), http(&table), sock(&table);
    rpc.SetAuthenticationCredential(domain, "alice", "pw");
    Token out;
    ASSERT_TRUE(Client(rpc, nullptr, &out));
    EXPECT_EQ(recorded.explicit_identity, *domain != '\0') << domain;

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::thread p = peer(pair[1]);
    EXPECT_FALSE(http.HttpAuthenticationClient(static_cast<uint32_t>(pair[0]), "GET", "/", "", 0));
    p.join();
    close(pair[0]);
    EXPECT_EQ(recorded.explicit_identity, *domain != '\0') << domain;

    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    p = peer(pair[1]);
    EXPECT_FALSE(sock.SocketAuthenticationClient(static_cast<uint32_t>(pair[0])));
    p.join();
    close(pair[0]);
    EXPECT_TRUE(recorded.explicit_identity) << domain;
  }
  // Refused credentials (a name too long) never turn into the current
  // logon's.
  CQRNAuthenticate refused(&table);
  EXPECT_FALSE(refused.SetAuthenticationCredential("DOM", std::string(300, 'u').c_str(), "pw"));
  int before = recorded.acquired;
  Token out;
  EXPECT_FALSE(Client(refused, nullptr, &out));
  EXPECT_EQ(recorded.acquired, before);
}

}  // namespace
