// GetHttpDocument against loopback servers: the request it sends, the
// answer mapping, the one manual redirect, and the saved identity's
// credentials offered to a Basic or an NTLM challenge (the NTLM side is
// verified by our acceptor).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/sspi.h"
#include "platform/text.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/identity_block.h"
#include "tests/support/http_responder.h"
#include "tests/support/test_env.h"

namespace {

using qrn::test::HttpReply;
using qrn::test::HttpRequest;
using qrn::test::HttpResponder;

std::string Base64(std::string_view data) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(data[i]) << 16 |
                 (i + 1 < data.size() ? static_cast<uint8_t>(data[i + 1]) << 8 : 0) |
                 (i + 2 < data.size() ? static_cast<uint8_t>(data[i + 2]) : 0);
    out += abc[n >> 18];
    out += abc[(n >> 12) & 63];
    out += i + 1 < data.size() ? abc[(n >> 6) & 63] : '=';
    out += i + 2 < data.size() ? abc[n & 63] : '=';
  }
  return out;
}

std::string Unbase64(std::string_view text) {
  std::string out;
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
    acc = acc << 6 | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>(acc >> bits));
    }
  }
  return out;
}

class HostDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    block_ = "/qrnauth-hostdoc-test-" + std::to_string(getpid());
    shm_unlink(block_.c_str());
    setenv("QRNAUTH_IDENTITY_NAME", block_.c_str(), 1);
  }
  void TearDown() override { shm_unlink(block_.c_str()); }

  static void SaveNamed(const std::string& domain, const std::string& user,
                        const std::string& password) {
    qrn::WriteIdentityTexts(user, password, domain);
    qrn::WriteOsUserMark(0);
  }

  static std::string Post(const std::string& url, const char* form = "") {
    CQRNAuthenticate auth;
    BSTR document = nullptr;
    EXPECT_EQ(auth.GetHttpDocument(url.c_str(), form, &document), S_OK);
    std::string text =
        qrn::platform::Utf16ToUtf8(std::u16string_view(document, SysStringLen(document)));
    SysFreeString(document);
    return text;
  }

  qrn::test::HiveSandbox sandbox_;
  std::string block_;
};

TEST_F(HostDocumentTest, PostsFormDataWithItsNulAndTheThreeHeaders) {
  HttpResponder server(HttpReply{200, "line one\r\nline two\r\n\r\nend", {}, false});
  EXPECT_EQ(Post(server.url("/page.asp"), "a=1&b=Carol%20Ann"), "line one\nline two\n\nend");
  ASSERT_EQ(server.requests().size(), 1u);
  const HttpRequest request = server.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/page.asp");
  EXPECT_EQ(request.body, std::string("a=1&b=Carol%20Ann", 17) + '\0');
  EXPECT_EQ(request.Header("Accept"), "text/*");
  EXPECT_EQ(request.Header("User-Agent"), "WKZ");
  EXPECT_EQ(request.Header("Content-type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.Header("Authorization"), "");
  EXPECT_EQ(request.Header("Expect"), "");
  // A page that is not plain ASCII comes through the UTF-16 answer intact.
  HttpResponder accents(HttpReply{200,
                                  "Gr\xC3\xBC\xC3\x9F"
                                  "e\r\n\xE2\x82\xAC",
                                  {},
                                  false});
  EXPECT_EQ(Post(accents.url()),
            "Gr\xC3\xBC\xC3\x9F"
            "e\n\xE2\x82\xAC");
  // Empty form data still sends its terminator.
  Post(server.url("/page.asp"));
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[1].body, std::string(1, '\0'));
}

TEST_F(HostDocumentTest, MapsStatusesAndErrorMarksToNumbers) {
  struct Case {
    int status;
    std::vector<std::string> headers;
    std::string answer;
  } cases[] = {
      {404, {}, "404"}, {500, {"MVT Error: broken"}, "500"},
      {801, {}, "801"}, {825, {}, "825"},
      {826, {}, "826"}, {200, {"MVT Error: no such user"}, "800"},
      {204, {}, ""},    {200, {"X-Note: mvt error: lower case is no mark"}, "body"},
      {304, {}, ""},
  };
  for (const Case& c : cases) {
    HttpResponder server(
        HttpReply{c.status, c.status == 304 || c.status == 204 ? "" : "body", c.headers, false});
    EXPECT_EQ(Post(server.url()), c.answer) << c.status;
  }
}

TEST_F(HostDocumentTest, UnusableUrlsAnswerEmptyAndDeadServersAnswer800) {
  EXPECT_EQ(Post("ftp://127.0.0.1/file"), "");
  EXPECT_EQ(Post("not a url"), "");
  EXPECT_EQ(Post(""), "");
  CQRNAuthenticate auth;
  EXPECT_EQ(auth.GetHttpDocument("http://127.0.0.1/", "", nullptr), E_INVALIDARG);
  // A port nobody listens on: the internet layer's failure, with its text.
  int port;
  {
    HttpResponder gone(HttpReply{});
    port = gone.port();
  }
  const std::string answer = Post("http://127.0.0.1:" + std::to_string(port) + "/");
  EXPECT_EQ(answer.rfind("800 ", 0), 0u) << answer;
  EXPECT_GT(answer.size(), 4u);
}

TEST_F(HostDocumentTest, FollowsOneRedirectByGetWithoutCredentials) {
  SaveNamed("DOM", "bo", "pw");
  HttpResponder target([](const HttpRequest& r) {
    if (r.target == "/again") return HttpReply{302, "", {"Location: http://127.0.0.1:1/"}, false};
    if (r.target == "/missing") return HttpReply{404, "", {}, false};
    if (r.target == "/framework") return HttpReply{800, "", {}, false};
    return HttpReply{200, "moved\r\nhere", {}, false};
  });
  const std::string base = target.url();
  HttpResponder origin([&](const HttpRequest& r) {
    if (r.Header("Authorization").empty())
      return HttpReply{401, "", {"WWW-Authenticate: Basic realm=\"mvt\""}, false};
    if (r.target == "/plain") return HttpReply{302, "", {"Location: " + base + "ok"}, false};
    if (r.target == "/lower") return HttpReply{303, "", {"location: " + base + "ok"}, false};
    if (r.target == "/twice") return HttpReply{301, "", {"Location: " + base + "again"}, false};
    if (r.target == "/notfound")
      return HttpReply{302, "", {"Location: " + base + "missing"}, false};
    if (r.target == "/eight") return HttpReply{302, "", {"Location: " + base + "framework"}, false};
    if (r.target == "/secure") return HttpReply{302, "", {"Location: https://127.0.0.1/"}, false};
    if (r.target == "/relative") return HttpReply{302, "", {"Location: /ok"}, false};
    if (r.target == "/garbage") return HttpReply{302, "", {"Location: http://"}, false};
    return HttpReply{302, "", {}, false};  // no location at all
  });

  EXPECT_EQ(Post(origin.url("/plain"), "x=1"), "moved\nhere");
  std::vector<HttpRequest> seen = target.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].body, "");
  EXPECT_EQ(seen[0].Header("Authorization"), "");
  EXPECT_EQ(seen[0].Header("User-Agent"), "WKZ");
  EXPECT_EQ(seen[0].Header("Accept"), "text/*");

  EXPECT_EQ(Post(origin.url("/lower")), "moved\nhere");
  // Only one redirect is followed, and the redirected answer must be 200.
  EXPECT_EQ(Post(origin.url("/twice")), "");
  EXPECT_EQ(Post(origin.url("/notfound")), "");
  EXPECT_EQ(Post(origin.url("/eight")), "");  // a status, not a failure of the internet layer
  EXPECT_EQ(Post(origin.url("/secure")), "");
  EXPECT_EQ(Post(origin.url("/relative")), "");
  EXPECT_EQ(Post(origin.url("/garbage")), "");
  EXPECT_EQ(Post(origin.url("/nolocation")), "");
  for (const HttpRequest& r : target.requests()) EXPECT_EQ(r.Header("Authorization"), "");
}

HttpReply BasicGate(const HttpRequest& r) {
  const std::string auth = r.Header("Authorization");
  if (auth.rfind("Basic ", 0) != 0)
    return HttpReply{401, "", {"WWW-Authenticate: Basic realm=\"mvt\""}, false};
  return HttpReply{200, "as " + Unbase64(auth.substr(6)), {}, false};
}

TEST_F(HostDocumentTest, OffersCredentialsOnlyForANamedSavedIdentity) {
  HttpResponder server(&BasicGate);
  // Nothing saved: no credentials, the challenge is the answer.
  EXPECT_EQ(Post(server.url()), "401");
  // A named identity answers the challenge; the name goes out unescaped.
  SaveNamed("SALES", "Carol Ann", "p@ss:w%20rd");
  EXPECT_EQ(Post(server.url()), "as SALES\\Carol Ann:p@ss:w%20rd");
  // The operating-system user mark: no credentials again, although the
  // texts of the earlier identity are still in the block.
  qrn::WriteOsUserMark(1);
  EXPECT_EQ(Post(server.url()), "401");
  for (const HttpRequest& r : server.requests()) {
    if (!r.Header("Authorization").empty()) {
      EXPECT_EQ(r.body, std::string(1, '\0'));  // the body went out with the credentials too
    }
  }
}

// An HTTP server that authenticates with our NTLM acceptor, one conversation
// at a time.
class NtlmGate {
 public:
  NtlmGate() : table_(qrn::platform::InitSecurityInterfaceA()) {
    EXPECT_EQ(
        table_->AcquireCredentialsHandleA(nullptr, "NTLM", qrn::platform::SECPKG_CRED_INBOUND,
                                          nullptr, nullptr, nullptr, nullptr, &cred_, nullptr),
        qrn::platform::SEC_E_OK);
  }
  ~NtlmGate() {
    if (have_context_) table_->DeleteSecurityContext(&ctx_);
    table_->FreeCredentialsHandle(&cred_);
  }

  HttpReply Answer(const HttpRequest& r) {
    using namespace qrn::platform;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string auth = r.Header("Authorization");
    if (auth.rfind("NTLM ", 0) != 0) return HttpReply{401, "", {"WWW-Authenticate: NTLM"}, false};
    std::string in = Unbase64(auth.substr(5));
    std::string out(kNtlmMaxToken, '\0');
    SecBuffer ib{static_cast<uint32_t>(in.size()), SECBUFFER_TOKEN, in.data()};
    SecBuffer ob{kNtlmMaxToken, SECBUFFER_TOKEN, out.data()};
    SecBufferDesc id{SECBUFFER_VERSION, 1, &ib}, od{SECBUFFER_VERSION, 1, &ob};
    const bool first = !have_context_;
    SECURITY_STATUS s =
        table_->AcceptSecurityContext(&cred_, first ? nullptr : &ctx_, &id, 0, SECURITY_NATIVE_DREP,
                                      &ctx_, &od, nullptr, nullptr);
    have_context_ = have_context_ || s == SEC_I_CONTINUE_NEEDED || s == SEC_E_OK;
    if (s == SEC_I_CONTINUE_NEEDED) {
      out.resize(ob.cbBuffer);
      return HttpReply{401, "", {"WWW-Authenticate: NTLM " + Base64(out)}, false};
    }
    std::string name;
    SecPkgContext_NamesA names{};
    if (s == SEC_E_OK &&
        table_->QueryContextAttributesA(&ctx_, SECPKG_ATTR_NAMES, &names) == SEC_E_OK) {
      name = names.sUserName;
      table_->FreeContextBuffer(names.sUserName);
    }
    if (have_context_) table_->DeleteSecurityContext(&ctx_);
    have_context_ = false;
    if (s != SEC_E_OK) return HttpReply{403, "", {}, false};
    return HttpReply{200, "hello " + name + " body=" + std::to_string(r.body.size()), {}, false};
  }

 private:
  qrn::platform::SecurityFunctionTableA* table_;
  qrn::platform::CredHandle cred_{};
  qrn::platform::CtxtHandle ctx_{};
  bool have_context_ = false;
  std::mutex mutex_;
};

TEST_F(HostDocumentTest, AnswersAnNtlmChallengeWithTheSavedIdentity) {
  const std::string users = sandbox_.dir().File("ntlm_users");
  qrn::test::WriteFile(users, "DOM:alice:secret\n");
  setenv("NTLM_USER_FILE", users.c_str(), 1);
  NtlmGate gate;
  HttpResponder server([&](const HttpRequest& r) { return gate.Answer(r); });
  SaveNamed("DOM", "alice", "secret");
  EXPECT_EQ(Post(server.url(), "k=v"), "hello DOM\\alice body=4");
  SaveNamed("DOM", "alice", "wrong");
  EXPECT_EQ(Post(server.url(), "k=v"), "403");
}

}  // namespace
