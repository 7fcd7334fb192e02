// GetWebPage against a loopback HTTP responder, the internet layer below it,
// and the reachability test.
#include "security/common/web.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <cstring>

#include "frame/trail.h"
#include "platform/http_client.h"
#include "platform/text.h"
#include "security/common/ping.h"
#include "tests/support/http_responder.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

using test::HttpReply;
using test::HttpRequest;
using test::HttpResponder;

struct TrailRow {
  std::string step, detail, source;
  HRESULT status = 0;
};

std::string Text(const VARIANT& v) {
  return v.vt == VT_BSTR ? platform::Utf16ToUtf8(v.bstrVal ? v.bstrVal : u"") : "";
}

TrailRow Row(int entry) {
  TrailRow row;
  SAFEARRAY* array = authorizationTrail.errors.parray;
  VARIANT cell[4];
  for (LONG column = 0; column < 4; ++column) {
    LONG index[2] = {entry, column};
    VariantInit(&cell[column]);
    SafeArrayGetElement(array, index, &cell[column]);
  }
  row.step = Text(cell[0]);
  row.status = cell[1].lVal;
  row.detail = Text(cell[2]);
  row.source = Text(cell[3]);
  for (auto& c : cell) VariantClear(&c);
  return row;
}

// Moves this test process into a network namespace of its own with its
// loopback up, so sysctls can change there without touching the machine.
bool EnterPrivateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return up;
}

std::string HiveWith(const std::string& values) {
  return "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n" +
         values + "\r\n";
}

// Serves a body per path.
HttpResponder PageServer() {
  return HttpResponder([](const HttpRequest& request) {
    HttpReply reply;
    const std::string& t = request.target;
    if (t == "/exact") reply.body = "<DOCUMENT><A/></DOCUMENT>";
    if (t == "/tail") reply.body = "<DOCUMENT><A/></DOCUMENT><DOCUMENT>second</DOCUMENT>";
    if (t == "/doc-error") reply.body = "<DOCUMENT>error Error</html></DOCUMENT>";
    if (t == "/lower") reply.body = "an error occurred</html>";
    if (t == "/upper") reply.body = "Error 42";
    if (t == "/html") reply.body = "<html><body>oops</body></html>";
    if (t == "/hash") reply.body = "0123456789ABCDEF";
    return reply;
  });
}

TEST(GetWebPage, DocumentsAndPlainAnswersSucceed) {
  test::HiveSandbox sandbox;
  HttpResponder server = PageServer();

  std::string page;
  ASSERT_TRUE(GetWebPage(server.url("/exact"), page, true));
  EXPECT_EQ(page, "<DOCUMENT><A/></DOCUMENT>");

  page.clear();
  ASSERT_TRUE(GetWebPage(server.url("/tail"), page, true));
  const std::string full = "<DOCUMENT><A/></DOCUMENT><DOCUMENT>second</DOCUMENT>";
  ASSERT_EQ(page.size(), full.size());
  EXPECT_STREQ(page.c_str(), "<DOCUMENT><A/></DOCUMENT>");
  EXPECT_EQ(page.substr(26), full.substr(26));  // the rest stays in place

  page.clear();
  EXPECT_TRUE(GetWebPage(server.url("/doc-error"), page, true));  // the tag is tested first
  page.clear();
  EXPECT_TRUE(GetWebPage(server.url("/hash"), page, true));
  EXPECT_EQ(page, "0123456789ABCDEF");
  EXPECT_EQ(authorizationTrail.count, 0);
  // One root session: all four requests went over one kept-alive connection.
  EXPECT_EQ(server.connections(), 1);
  EXPECT_EQ(server.requests()[0].Header("User-Agent"), "QRNSnapin");
}

TEST(GetWebPage, ErrorPagesFailWithTheirTrailEntries) {
  test::HiveSandbox sandbox;
  HttpResponder server = PageServer();
  std::string lower, upper, html;
  EXPECT_FALSE(GetWebPage(server.url("/lower"), lower, true));
  EXPECT_FALSE(GetWebPage(server.url("/upper"), upper, true));
  EXPECT_FALSE(GetWebPage(server.url("/html"), html, true));
  EXPECT_EQ(lower, "an error occurred</html>");
  EXPECT_EQ(upper, "Error 42");
  EXPECT_EQ(html, "<html>Error in ASP</html>");

  ASSERT_EQ(authorizationTrail.count, 3);
  const int lines[] = {158, 171, 185};
  const std::string details[] = {lower, upper, html};
  const std::string paths[] = {"/lower", "/upper", "/html"};
  for (int i = 0; i < 3; ++i) {
    TrailRow row = Row(i);
    EXPECT_EQ(row.step, "Making the Web Call " + server.url(paths[i]));
    EXPECT_EQ(row.status, E_FAIL);
    EXPECT_EQ(row.detail, details[i]);
    EXPECT_EQ(row.source,
              "security/common/web(" + std::to_string(lines[i]) + "):GetWebPage.::InternetOpenUrl");
  }
}

TEST(GetWebPage, ErrorPagesWithoutReportingLeaveTextAndTrailAlone) {
  test::HiveSandbox sandbox;
  HttpResponder server = PageServer();
  std::string html, lower;
  EXPECT_FALSE(GetWebPage(server.url("/html"), html, false));
  EXPECT_FALSE(GetWebPage(server.url("/lower"), lower, false));
  EXPECT_EQ(html, "<html><body>oops</body></html>");
  EXPECT_EQ(authorizationTrail.count, 0);
}

TEST(GetWebPage, ErrorStatusNeverYieldsADocument) {
  test::HiveSandbox sandbox;
  HttpResponder server([](const HttpRequest& request) {
    HttpReply reply;
    reply.status = request.target == "/gone" ? 404 : 500;
    reply.body = request.target == "/gone" ? "<DOCUMENT>stale</DOCUMENT>" : "Server error";
    return reply;
  });
  std::string quiet, reported, error_page;
  EXPECT_FALSE(GetWebPage(server.url("/gone"), quiet, false));
  EXPECT_EQ(quiet, "");
  EXPECT_EQ(authorizationTrail.count, 0);

  EXPECT_FALSE(GetWebPage(server.url("/gone"), reported, true));
  EXPECT_EQ(reported, "<html>Error in ASP</html>");
  EXPECT_FALSE(GetWebPage(server.url("/fail"), error_page, true));
  EXPECT_EQ(error_page, "Server error");
  ASSERT_EQ(authorizationTrail.count, 2);
  EXPECT_NE(Row(0).source.find("(185)"), std::string::npos);
  EXPECT_NE(Row(1).source.find("(158)"), std::string::npos);
}

TEST(GetWebPage, RedirectsAreFollowedToTheFinalPage) {
  test::HiveSandbox sandbox;
  HttpResponder server([](const HttpRequest& request) {
    HttpReply reply;
    if (request.target == "/old") {
      reply.status = 302;
      reply.headers.push_back("Location: /new?x=1");
    } else {
      reply.body = "<DOCUMENT>" + request.target + "</DOCUMENT>";
    }
    return reply;
  });
  std::string page;
  ASSERT_TRUE(GetWebPage(server.url("/old"), page, true));
  EXPECT_EQ(page, "<DOCUMENT>/new?x=1</DOCUMENT>");
}

TEST(GetWebPage, UnreachableServerFailsWithoutTrailEntry) {
  test::HiveSandbox sandbox;
  int port;
  {
    HttpResponder gone(HttpReply{});
    port = gone.port();
  }
  std::string page = "";
  EXPECT_FALSE(GetWebPage("http://127.0.0.1:" + std::to_string(port) + "/", page, true));
  EXPECT_FALSE(GetWebPage("not a url at all", page, true));
  EXPECT_FALSE(GetWebPage("file:///etc/passwd", page, true));
  EXPECT_EQ(page, "");
  EXPECT_EQ(authorizationTrail.count, 0);
}

TEST(GetWebPage, BodyEndsEachReadChunkAtItsFirstNul) {
  test::HiveSandbox sandbox;
  std::string body(2046, 'a');
  body[10] = '\0';  // the rest of the first 1023-byte read is lost
  HttpResponder server(HttpReply{200, body, {}, false});
  std::string page;
  ASSERT_TRUE(GetWebPage(server.url(), page, true));
  EXPECT_EQ(page, std::string(10, 'a') + std::string(1023, 'a'));
}

TEST(GetWebPage, OversizedBodyIsCutOffAndFails) {
  test::HiveSandbox sandbox;
  const size_t cap = platform::kDefaultMaxBody;
  HttpResponder server([](const HttpRequest& request) {
    constexpr size_t cap = platform::kDefaultMaxBody;
    HttpReply reply;
    reply.body.assign(request.target == "/big" ? cap + 1 : cap, 'x');
    return reply;
  });
  std::string fits, big;
  EXPECT_TRUE(GetWebPage(server.url("/fits"), fits, true));
  EXPECT_EQ(fits.size(), cap);
  EXPECT_FALSE(GetWebPage(server.url("/big"), big, true));
  EXPECT_EQ(big, "");
  EXPECT_EQ(authorizationTrail.count, 0);
}

double SecondsOfHangingCall(const std::string& url) {
  const auto start = std::chrono::steady_clock::now();
  std::string page;
  EXPECT_FALSE(GetWebPage(url, page, true));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(GetWebPage, ZeroTimeoutEndsASilentRequestAfterAboutOneSecond) {
  test::HiveSandbox sandbox;
  sandbox.WriteMachineHive(HiveWith("\"HTTPTimeOut\"=dword:00000000"));
  HttpResponder server(HttpReply{200, "", {}, true});
  EXPECT_LT(SecondsOfHangingCall(server.url()), 15.0);
}

TEST(GetWebPage, AbsentTimeoutIsLookedUpAgainOnTheNextCall) {
  test::HiveSandbox sandbox;
  HttpResponder hang(HttpReply{200, "", {}, true});
  HttpResponder ok(HttpReply{200, "ok", {}, false});
  std::string page;
  ASSERT_TRUE(GetWebPage(ok.url(), page, true));  // no value yet: default in force
  sandbox.WriteMachineHive(HiveWith("\"HTTPTimeOut\"=dword:00000000"));
  // A hive file changed behind the library's back is noticed at the next
  // tick of the coarse clock, not within the same tick.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_LT(SecondsOfHangingCall(hang.url()), 15.0);
}

TEST(GetWebPage, SetHTTPTimeoutOverridesAndMinusOneReadsAgain) {
  test::HiveSandbox sandbox;
  sandbox.WriteMachineHive(HiveWith("\"HTTPTimeOut\"=dword:00000000"));
  HttpResponder hang(HttpReply{200, "", {}, true});
  SetHTTPTimeout(1);
  EXPECT_LT(SecondsOfHangingCall(hang.url()), 15.0);
  SetHTTPTimeout(-1);  // reads 0 from the hive again
  EXPECT_LT(SecondsOfHangingCall(hang.url()), 15.0);
}

TEST(GetWebPage, NetworkTestPingsTheHostBeforeTheFirstRequest) {
  test::HiveSandbox sandbox;
  sandbox.WriteMachineHive(HiveWith("\"NetworkTest\"=dword:00000001"));
  platform::IcmpSocket probe;
  if (!probe.Open()) GTEST_SKIP() << "no ICMP socket may be opened here";
  HttpResponder server(HttpReply{200, "<DOCUMENT/></DOCUMENT>", {}, false});
  std::string page;
  EXPECT_TRUE(GetWebPage(server.url(), page, true));
}

// A loopback that ignores echo requests: a raw socket still sees our own
// request go by, which must not count as the answer.
TEST(GetWebPage, SilentHostFailsTheCallAndIsTestedAgainNextTime) {
  test::HiveSandbox sandbox;
  sandbox.WriteMachineHive(HiveWith("\"NetworkTest\"=dword:00000001"));
  if (!EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
  platform::IcmpSocket probe;
  if (!probe.Open()) GTEST_SKIP() << "no ICMP socket may be opened here";
  HttpResponder server(HttpReply{200, "<DOCUMENT/></DOCUMENT>", {}, false});
  test::WriteFile("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1");
  std::string page;
  EXPECT_FALSE(GetWebPage(server.url(), page, true));
  EXPECT_EQ(server.requests().size(), 0u);
  EXPECT_EQ(authorizationTrail.count, 0);

  test::WriteFile("/proc/sys/net/ipv4/icmp_echo_ignore_all", "0");
  EXPECT_TRUE(GetWebPage(server.url(), page, true));
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(ExtractHostName, FindsTheHostInUrlForms) {
  struct Case {
    const char* url;
    const char* host;
  } cases[] = {
      {"http://srv.example/sec.asp?Object=Role", "srv.example"},
      {"https://user:pw@srv:8080/page", "srv"},
      {"http://srv:81", "srv"},
      {"srv/page", "srv"},
      {"file:\\\\share\\x", "share"},
      {"http://srv/q?mail=a@b:c", "srv"},  // an at-sign in the query is no user info
      {"http://srv\\page", "srv"},
      {"http:///page", ""},
  };
  for (const Case& c : cases) {
    char buffer[64];
    ASSERT_TRUE(ExtractHostName(c.url, buffer, sizeof buffer)) << c.url;
    EXPECT_STREQ(buffer, c.host) << c.url;
  }
  char small[4];
  EXPECT_FALSE(ExtractHostName("http://four/", small, sizeof small));
  EXPECT_TRUE(ExtractHostName("http://thr/", small, sizeof small));
}

TEST(PingHost, EchoPacketLayoutAndChecksum) {
  EXPECT_EQ(EchoPacketSize(0), 44u);
  EXPECT_EQ(EchoPacketSize(-3), 44u);
  EXPECT_EQ(EchoPacketSize(100), 112u);
  EXPECT_EQ(EchoPacketSize(5000), kEchoBufferSize);

  uint8_t packet[45];
  for (size_t size : {size_t{44}, size_t{45}}) {
    BuildEchoRequest(packet, size, 0x1234, 3, 0xA0B0C0D0);
    EXPECT_EQ(packet[0], 8);
    EXPECT_EQ(packet[1], 0);
    uint16_t id, seq;
    std::memcpy(&id, packet + 4, 2);
    std::memcpy(&seq, packet + 6, 2);
    EXPECT_EQ(id, 0x1234);
    EXPECT_EQ(seq, 3);
    EXPECT_EQ(packet[12], 0x45);
    EXPECT_EQ(packet[size - 1], 0x45);
    EXPECT_EQ(InternetChecksum(packet, size), 0) << size;  // a valid checksum sums to zero
  }
  // RFC 1071 example: 0001 f203 f4f5 f6f7 sums to ddf2, checksum 220d.
  const uint8_t sample[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  const uint16_t sum = InternetChecksum(sample, sizeof sample);
  uint8_t bytes[2];
  std::memcpy(bytes, &sum, 2);
  EXPECT_EQ(bytes[0], 0x22);
  EXPECT_EQ(bytes[1], 0x0d);
}

TEST(PingHost, OnlyTheMatchingEchoReplyCounts) {
  uint8_t reply[32] = {0x45};  // IPv4 header of 20 bytes
  BuildEchoRequest(reply + 20, 12, 0x0102, 2, 0);
  EXPECT_FALSE(IsEchoReplyTo(reply, sizeof reply, true, true, 0x0102, 2));  // our own request
  reply[20] = 0;                                                            // echo reply
  EXPECT_TRUE(IsEchoReplyTo(reply, sizeof reply, true, true, 0x0102, 2));
  EXPECT_FALSE(IsEchoReplyTo(reply, sizeof reply, true, true, 0x0103, 2));
  EXPECT_FALSE(IsEchoReplyTo(reply, sizeof reply, true, true, 0x0102, 1));
  EXPECT_TRUE(IsEchoReplyTo(reply + 20, 12, false, false, 0x7777, 2));  // datagram: id rewritten
  EXPECT_FALSE(IsEchoReplyTo(reply, 24, true, true, 0x0102, 2));        // cut short
}

TEST(PingHost, LoopbackAnswersOverEachSocketKind) {
  bool tried = false;
  for (platform::IcmpMode mode :
       {platform::IcmpMode::kRawOnly, platform::IcmpMode::kDatagramOnly}) {
    platform::IcmpSocket probe;
    if (!probe.Open(mode)) continue;
    tried = true;
    EXPECT_EQ(PingHost("127.0.0.1", 0, mode), 0) << static_cast<int>(mode);
    EXPECT_EQ(PingHost("127.0.0.1", 300, mode), 0) << static_cast<int>(mode);
    EXPECT_EQ(PingHost("localhost", 0, mode), 0) << static_cast<int>(mode);
  }
  if (!tried) GTEST_SKIP() << "no ICMP socket may be opened here";
}

// The datagram socket needs a group in net.ipv4.ping_group_range, which
// excludes everyone by default. A private network namespace of this test
// process has its own range and loopback, so the machine stays untouched.
TEST(PingHost, DatagramSocketMatchesRepliesWithTheRewrittenIdentifier) {
  if (!EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
  test::WriteFile("/proc/sys/net/ipv4/ping_group_range", "0 2147483647");

  platform::IcmpSocket probe;
  ASSERT_TRUE(probe.Open(platform::IcmpMode::kDatagramOnly));
  EXPECT_TRUE(probe.is_datagram());
  EXPECT_EQ(PingHost("127.0.0.1", 0, platform::IcmpMode::kDatagramOnly), 0);
  EXPECT_EQ(PingHost("127.0.0.1", 1012, platform::IcmpMode::kDatagramOnly), 0);
}

TEST(PingHost, UnresolvableHostIsUnreachable) {
  EXPECT_EQ(PingHost("", 0), kHostUnreachable);
  EXPECT_EQ(PingHost(nullptr, 0), kHostUnreachable);
}

TEST(HttpSession, CapsBodiesAndPostsForms) {
  HttpResponder server([](const HttpRequest& request) {
    HttpReply reply;
    reply.body = request.method == "POST" ? request.Header("Content-Type") + "|" + request.body
                                          : std::string(5000, 'y');
    return reply;
  });
  platform::HttpSession session;
  EXPECT_EQ(session.Get(server.url()).outcome, platform::HttpOutcome::kNotOpen);
  ASSERT_TRUE(session.Open("agent"));
  session.SetMaxBody(4096);
  platform::HttpResponse capped = session.Get(server.url());
  EXPECT_EQ(capped.outcome, platform::HttpOutcome::kTooLarge);
  EXPECT_LE(capped.body.size(), 4096u);

  platform::HttpResponse posted = session.PostForm(server.url("/form"), "a=1&b=%26");
  EXPECT_EQ(posted.outcome, platform::HttpOutcome::kOk);
  EXPECT_EQ(posted.status, 200);
  EXPECT_EQ(posted.body, "application/x-www-form-urlencoded|a=1&b=%26");
}

}  // namespace
}  // namespace qrn
