// Interoperability of the NTLM provider with independent implementations:
// Debian's python3-ntlm-auth as initiator against our acceptor, our
// initiator against a small NTLMv2 verifier written on that library, and
// curl's NTLM against a loopback HTTP server driven by our acceptor.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/sspi.h"
#include "tests/support/test_env.h"

namespace {

using namespace qrn::platform;

constexpr char kPython[] = "/usr/bin/python3";

std::string Base64(const std::vector<uint8_t>& data) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t n = data[i] << 16 | (i + 1 < data.size() ? data[i + 1] << 8 : 0) |
                 (i + 2 < data.size() ? data[i + 2] : 0);
    out += abc[n >> 18];
    out += abc[(n >> 12) & 63];
    out += i + 1 < data.size() ? abc[(n >> 6) & 63] : '=';
    out += i + 2 < data.size() ? abc[n & 63] : '=';
  }
  return out;
}

std::vector<uint8_t> Unbase64(const std::string& text) {
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int v = c >= 'A' && c <= 'Z'   ? c - 'A'
            : c >= 'a' && c <= 'z' ? c - 'a' + 26
            : c >= '0' && c <= '9' ? c - '0' + 52
            : c == '+'             ? 62
            : c == '/'             ? 63
                                   : -1;
    if (v < 0) continue;
    acc = acc << 6 | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  return out;
}

// A child program talking in lines over its standard input and output.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv, const std::string& openssl_conf) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      setenv("OPENSSL_CONF", openssl_conf.c_str(), 1);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Child() {
    close(to_);
    close(from_);
    int status;
    if (waitpid(pid_, &status, WNOHANG) == 0) kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  void Send(const std::string& line) {
    std::string l = line + "\n";
    EXPECT_EQ(write(to_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
  }
  std::string Receive() {
    std::string line;
    char c;
    while (read(from_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

 private:
  pid_t pid_;
  int to_, from_;
};

class InteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    users_ = sandbox_.dir().File("users");
    qrn::test::WriteFile(users_, "DOM:alice:secret\n");
    setenv("NTLM_USER_FILE", users_.c_str(), 1);
    script_dir_ = qrn::test::SourceDir() + "/tests/interop/";
    table_ = InitSecurityInterfaceA();
    ASSERT_EQ(table_->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_INBOUND, nullptr,
                                                nullptr, nullptr, nullptr, &server_cred_, nullptr),
              SEC_E_OK);
  }
  void TearDown() override { table_->FreeCredentialsHandle(&server_cred_); }

  // One server step over our acceptor.
  SECURITY_STATUS Accept(const std::vector<uint8_t>& in, std::vector<uint8_t>* out, bool first) {
    std::vector<uint8_t> input = in;
    out->assign(kNtlmMaxToken, 0);
    SecBuffer ib{static_cast<uint32_t>(input.size()), SECBUFFER_TOKEN, input.data()};
    SecBuffer ob{kNtlmMaxToken, SECBUFFER_TOKEN, out->data()};
    SecBufferDesc id{SECBUFFER_VERSION, 1, &ib}, od{SECBUFFER_VERSION, 1, &ob};
    SECURITY_STATUS s =
        table_->AcceptSecurityContext(&server_cred_, first ? nullptr : &server_ctx_, &id, 0,
                                      SECURITY_NATIVE_DREP, &server_ctx_, &od, nullptr, nullptr);
    out->resize(s >= 0 ? ob.cbBuffer : 0);
    return s;
  }
  std::string PeerName() {
    SecPkgContext_NamesA names{};
    if (table_->QueryContextAttributesA(&server_ctx_, SECPKG_ATTR_NAMES, &names) != SEC_E_OK) {
      return "";
    }
    std::string name = names.sUserName;
    table_->FreeContextBuffer(names.sUserName);
    return name;
  }

  qrn::test::HiveSandbox sandbox_;
  std::string users_, script_dir_;
  SecurityFunctionTableA* table_ = nullptr;
  CredHandle server_cred_{};
  CtxtHandle server_ctx_{};
};

TEST_F(InteropTest, IndependentInitiatorAgainstOurAcceptor) {
  for (const char* password : {"secret", "wrong"}) {
    Child client({kPython, script_dir_ + "ntlm_client.py", "DOM", "alice", password},
                 script_dir_ + "openssl-legacy.cnf");
    std::vector<uint8_t> challenge, last;
    ASSERT_EQ(Accept(Unbase64(client.Receive()), &challenge, true), SEC_I_CONTINUE_NEEDED);
    client.Send(Base64(challenge));
    SECURITY_STATUS s = Accept(Unbase64(client.Receive()), &last, false);
    if (std::string(password) == "secret") {
      EXPECT_EQ(s, SEC_E_OK);
      EXPECT_EQ(PeerName(), "DOM\\alice");
    } else {
      EXPECT_EQ(s, SEC_E_LOGON_DENIED);
    }
    table_->DeleteSecurityContext(&server_ctx_);
  }
}

TEST_F(InteropTest, OurInitiatorAgainstIndependentAcceptor) {
  for (const char* password : {"secret", "wrong"}) {
    Child server({kPython, script_dir_ + "ntlm_verify.py", "DOM", "alice", "secret"},
                 script_dir_ + "openssl-legacy.cnf");
    std::string user = "alice", domain = "DOM", pw = password;
    SEC_WINNT_AUTH_IDENTITY_A id{reinterpret_cast<unsigned char*>(user.data()),
                                 static_cast<uint32_t>(user.size()),
                                 reinterpret_cast<unsigned char*>(domain.data()),
                                 static_cast<uint32_t>(domain.size()),
                                 reinterpret_cast<unsigned char*>(pw.data()),
                                 static_cast<uint32_t>(pw.size()),
                                 SEC_WINNT_AUTH_IDENTITY_ANSI};
    CredHandle cred{};
    CtxtHandle ctx{};
    ASSERT_EQ(table_->AcquireCredentialsHandleA(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr, &id,
                                                nullptr, nullptr, &cred, nullptr),
              SEC_E_OK);
    std::vector<uint8_t> token(kNtlmMaxToken);
    SecBuffer ob{kNtlmMaxToken, SECBUFFER_TOKEN, token.data()};
    SecBufferDesc od{SECBUFFER_VERSION, 1, &ob};
    ASSERT_EQ(table_->InitializeSecurityContextA(&cred, nullptr, "NTLM", 0, 0, SECURITY_NATIVE_DREP,
                                                 nullptr, 0, &ctx, &od, nullptr, nullptr),
              SEC_I_CONTINUE_NEEDED);
    server.Send(Base64({token.begin(), token.begin() + ob.cbBuffer}));
    std::vector<uint8_t> challenge = Unbase64(server.Receive());
    SecBuffer ib{static_cast<uint32_t>(challenge.size()), SECBUFFER_TOKEN, challenge.data()};
    SecBufferDesc id_desc{SECBUFFER_VERSION, 1, &ib};
    ob.cbBuffer = kNtlmMaxToken;
    // Complete on our side, with the AUTHENTICATE still to send.
    ASSERT_EQ(table_->InitializeSecurityContextA(&cred, &ctx, "NTLM", 0, 0, SECURITY_NATIVE_DREP,
                                                 &id_desc, 0, &ctx, &od, nullptr, nullptr),
              SEC_E_OK);
    ASSERT_GT(ob.cbBuffer, 0u);
    server.Send(Base64({token.begin(), token.begin() + ob.cbBuffer}));
    std::string verdict = server.Receive();
    if (pw == "secret") {
      EXPECT_EQ(verdict, "ok DOM\\alice");
    } else {
      EXPECT_EQ(verdict, "bad proof");
    }
    table_->DeleteSecurityContext(&ctx);
    table_->FreeCredentialsHandle(&cred);
  }
}

// ---- curl against a loopback HTTP server on our acceptor ----------------------

std::string ReadHead(int fd) {
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1) head += c;
  return head;
}

std::string AuthorizationToken(const std::string& head) {
  const std::string key = "\r\nAuthorization: NTLM ";
  size_t at = head.find(key);
  if (at == std::string::npos) return "";
  size_t from = at + key.size();
  return head.substr(from, head.find("\r\n", from) - from);
}

void Reply(int fd, const std::string& status, const std::string& header, const std::string& body) {
  std::string r = "HTTP/1.1 " + status + "\r\n" + header +
                  "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  (void)!write(fd, r.data(), r.size());
}

TEST_F(InteropTest, CurlNtlmAgainstOurAcceptor) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";

  // Serves two clients, one request sequence each, on one connection apiece.
  std::thread server([&] {
    for (int client = 0; client < 2; ++client) {
      // A curl that never connects must not keep the test waiting.
      pollfd ready{listener, POLLIN, 0};
      if (poll(&ready, 1, 30000) != 1) return;
      int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) return;
      bool first = true;
      for (;;) {
        std::string head = ReadHead(fd);
        if (head.empty()) break;
        std::string token = AuthorizationToken(head);
        if (token.empty()) {
          Reply(fd, "401 Unauthorized", "WWW-Authenticate: NTLM\r\n", "");
          continue;
        }
        std::vector<uint8_t> out;
        SECURITY_STATUS s = Accept(Unbase64(token), &out, first);
        first = false;
        if (s == SEC_I_CONTINUE_NEEDED) {
          Reply(fd, "401 Unauthorized", "WWW-Authenticate: NTLM " + Base64(out) + "\r\n", "");
        } else if (s == SEC_E_OK) {
          Reply(fd, "200 OK", "", "hello " + PeerName());
          table_->DeleteSecurityContext(&server_ctx_);
          break;
        } else {
          Reply(fd, "403 Forbidden", "", "");
          break;
        }
      }
      close(fd);
    }
  });
  auto curl = [&](const std::string& credentials) {
    return qrn::test::RunProcess(
        {"/usr/bin/curl", "-s", "--ntlm", "-u", credentials, "-w", " %{http_code}", url},
        {"OPENSSL_CONF=" + script_dir_ + "openssl-legacy.cnf"}, "", 30);
  };
  auto good = curl("DOM\\alice:secret");
  auto bad = curl("DOM\\alice:wrong");
  server.join();
  close(listener);
  EXPECT_EQ(good.out, "hello DOM\\alice 200") << good.err;
  EXPECT_EQ(bad.out, " 403");
}

}  // namespace
