// Several qrnsecd instances behind a real HAProxy (the repository's example
// configuration), and the site paths /health and /metrics against clients
// that misbehave. The instances serve a JSON data file; DataArgs() is the one
// place that names the data source.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/authorize_fixture.h"
#include "tests/support/site.h"

namespace qrn::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kCombined = kCombinedRequest;

// Sends `bytes` to 127.0.0.1:port (a byte at a time with `pause` between,
// when given), closes the sending side unless told not to, and returns what
// came back until the server closed or 5 s passed.
std::string Exchange(int port, const std::string& bytes, std::chrono::milliseconds pause = 0ms,
                     bool finish = true) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return "(no connection)";
  }
  if (pause == 0ms) {
    (void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  } else {
    for (char c : bytes) {
      (void)!send(fd, &c, 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(pause);
    }
  }
  if (!finish) {
    close(fd);
    return {};
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  const auto deadline = Clock::now() + 5s;
  char buf[65536];
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

class SiteTest : public AuthorizeFixture {
 protected:
  void SetUp() override {
    if (!HaproxyProcess::Available())
      GTEST_SKIP() << "haproxy is not installed (scripts/install-deps.sh installs it)";
    WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll", "Stock"}));
  }

  // Where an instance takes its data from.
  std::string DataArgs(size_t instance) const {
    return data_files_.empty() ? DataFile() : data_files_[instance];
  }

  // Two instances and HAProxy in front of them; the client configuration
  // points at HAProxy.
  void StartSite() {
    for (size_t i = 0; i < 2; ++i) secds_.push_back(std::make_unique<SecdProcess>(DataArgs(i)));
    proxy_ = ProxyInFront(secds_);
    UseUrl(proxy_->base() + "/mvt/security.aspx");
  }

  std::string Metrics(size_t instance) const {
    return HttpGet(Origin(*secds_[instance]) + "/metrics").body;
  }

  std::vector<std::string> data_files_;
  std::vector<std::unique_ptr<SecdProcess>> secds_;
  std::unique_ptr<HaproxyProcess> proxy_;
};

TEST_F(SiteTest, BothInstancesAndTheProxyAnswerTheSameBytes) {
  StartSite();
  for (const char* request :
       {kCombined, "/mvt/security.aspx?Object=Appl&Operation=GetAll",
        "/mvt/security.aspx?Object=Role&Operation=Get", "/mvt/security.aspx?Object=Cache&Operation=Get",
        "/mvt/security.aspx?Object=dateTime",
        "/mvt/security.aspx?User=bob&Domain=SALES&Operation=Get&Object=UserGroups"}) {
    const platform::HttpResponse first = HttpGet(Origin(*secds_[0]) + request);
    ASSERT_EQ(first.status, 200) << request;
    EXPECT_EQ(HttpGet(Origin(*secds_[1]) + request).body, first.body) << request;
    for (int i = 0; i < 4; ++i) {  // round robin: both instances answer through the proxy
      const platform::HttpResponse proxied = HttpGet(proxy_->base() + request);
      EXPECT_EQ(proxied.status, 200) << request;
      EXPECT_EQ(proxied.body, first.body) << request;
    }
  }
  EXPECT_NE(HttpGet(proxy_->base() + kCombined).body.find("Payroll"), std::string::npos);
  EXPECT_NE(secds_[0]->RequestLog().find("Object=Appl"), std::string::npos);
  EXPECT_NE(secds_[1]->RequestLog().find("Object=Appl"), std::string::npos);
  EXPECT_EQ(MetricValue(Metrics(0), "qrnsecd_data_version"), MetricValue(Metrics(1), "qrnsecd_data_version"));
}

TEST_F(SiteTest, AChangeReachesBothInstancesAndTheClientsNextLoad) {
  StartSite();
  ProcessResult load = Cli({"load"});
  ASSERT_EQ(load.exit_code, 0) << load.err;
  EXPECT_NE(load.out.find("timestamp: 12/01/2026 10:00:00 AM\napplications: 2\n"), std::string::npos)
      << load.out;

  WriteData(DataJson("12/02/2026 11:00:00 AM", {"Payroll", "Stock", "Ledger"}));
  for (const auto& secd : secds_)
    EXPECT_EQ(HttpGet(Origin(*secd) + "/mvt/security.aspx?Object=dateTime").body,
              "12/02/2026 11:00:00 AM");
  load = Cli({"load"});
  ASSERT_EQ(load.exit_code, 0) << load.err;
  EXPECT_NE(load.out.find("timestamp: 12/02/2026 11:00:00 AM\napplications: 3\n"), std::string::npos)
      << load.out;
}

TEST_F(SiteTest, StoppingAnInstanceUnderLoadLosesNoRequest) {
  StartSite();
  const std::string expected = HttpGet(Origin(*secds_[0]) + kCombined).body;
  ASSERT_NE(expected.find("Payroll"), std::string::npos);

  const LoadUnderStop load = CombinedLoadWhileStopping(*proxy_, expected, *secds_[0]);
  EXPECT_EQ(load.stop_exit, 0);
  EXPECT_LT(load.before_stop, load.sent) << "the stop came after the load";
  EXPECT_EQ(load.sent, 200);
  EXPECT_EQ(load.answered, 200) << load.failures << proxy_->Output();
  EXPECT_TRUE(proxy_->WaitForStatus("secd1", "DOWN"));
}

TEST_F(SiteTest, ASickInstanceAnswers503AndGetsNoTrafficUntilRepaired) {
  const std::string good = ReadFile(DataFile());
  data_files_ = {data_.File("one.json"), data_.File("two.json")};
  for (const auto& f : data_files_) WriteDataFile(f, good);
  StartSite();

  WriteDataFile(data_files_[1], "{\"format\": 1, \"applications\": [");
  const platform::HttpResponse sick = HttpGet(Origin(*secds_[1]) + "/health");
  EXPECT_EQ(sick.status, 503);
  EXPECT_NE(sick.body.find("two.json"), std::string::npos) << sick.body;
  EXPECT_EQ(MetricValue(Metrics(1), "qrnsecd_data_current"), 0);
  ASSERT_TRUE(proxy_->WaitForStatus("secd2", "DOWN")) << proxy_->ServerStatus("secd2");

  const double served_before = MetricValue(Metrics(1), "qrnsecd_requests_total{kind=\"combined\"}");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(HttpGet(proxy_->base() + kCombined).status, 200);
  EXPECT_EQ(MetricValue(Metrics(1), "qrnsecd_requests_total{kind=\"combined\"}"), served_before);
  EXPECT_EQ(MetricValue(Metrics(0), "qrnsecd_requests_total{kind=\"combined\"}"), 10);

  WriteDataFile(data_files_[1], good);
  EXPECT_EQ(HttpGet(Origin(*secds_[1]) + "/health").status, 200);
  ASSERT_TRUE(proxy_->WaitForStatus("secd2", "UP")) << proxy_->ServerStatus("secd2");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(HttpGet(proxy_->base() + kCombined).status, 200);
  EXPECT_GT(MetricValue(Metrics(1), "qrnsecd_requests_total{kind=\"combined\"}"), served_before);
}

TEST_F(SiteTest, MetricsCountTheRequestsSentThroughTheProxy) {
  StartSite();
  const std::string page = proxy_->base() + "/mvt/security.aspx";
  for (int i = 0; i < 10; ++i) HttpGet(proxy_->base() + kCombined);
  for (int i = 0; i < 6; ++i) HttpGet(page + "?Object=Role&Operation=Get");
  for (int i = 0; i < 4; ++i) HttpGet(page + "?User=bob&Domain=SALES&Operation=Get&Object=AllUserGroups");
  for (int i = 0; i < 2; ++i) HttpGet(page + "?Object=Log&Operation=Add&User=bob&Action=a&Status=s&Computer=c");
  for (int i = 0; i < 3; ++i) HttpGet(page + "?Object=Nothing");

  double combined = 0, documents = 0, groups = 0, audit = 0, error_pages = 0, health = 0;
  for (size_t i = 0; i < 2; ++i) {
    const std::string text = Metrics(i);
    combined += MetricValue(text, "qrnsecd_requests_total{kind=\"combined\"}");
    documents += MetricValue(text, "qrnsecd_requests_total{kind=\"documents\"}");
    groups += MetricValue(text, "qrnsecd_requests_total{kind=\"groups\"}");
    audit += MetricValue(text, "qrnsecd_requests_total{kind=\"audit\"}");
    error_pages += MetricValue(text, "qrnsecd_error_pages_total");
    health += MetricValue(text, "qrnsecd_requests_total{kind=\"health\"}");
    EXPECT_EQ(MetricValue(text, "qrnsecd_responses_total{class=\"5xx\"}"), 0);
  }
  EXPECT_EQ(combined, 10);
  EXPECT_EQ(documents, 6);
  EXPECT_EQ(groups, 4);
  EXPECT_EQ(audit, 2);
  EXPECT_EQ(error_pages, 3);
  EXPECT_GE(health, 2) << "HAProxy's checks";
}

// Only the instance: the site paths under the HTTP layer's limits.
TEST(SecdSitePaths, MisbehavingClients) {
  TempDir dir;
  WriteDataFile(dir.File("data.json"), ReadFile(SampleDataPath()));
  SecdProcess secd(dir.File("data.json"));

  // HEAD: the head of the page, no body.
  const std::string head = Exchange(secd.port(), "HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << head;
  EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "");

  // A query text on /metrics is ignored.
  const std::string queried =
      Exchange(secd.port(), "GET /metrics?name[]=x&%zz HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(queried.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << queried;
  EXPECT_NE(queried.find("qrnsecd_requests_total{kind=\"health\"} 0\n"), std::string::npos);

  // A client sending a byte at a time still gets its answer.
  const std::string slow = Exchange(secd.port(), "GET /health HTTP/1.1\r\nHost: x\r\n\r\n", 3ms);
  EXPECT_EQ(slow.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << slow;
  EXPECT_EQ(slow.substr(slow.find("\r\n\r\n") + 4), "ok\n");

  // A request cut short is neither answered nor counted; the server goes on.
  Exchange(secd.port(), "GET /health HTTP/1.1\r\nHo", 0ms, false);
  const std::string cut = Exchange(secd.port(), "GET /health HTTP/1.1\r\nHo");
  EXPECT_EQ(cut, "");

  // Not GET or HEAD; a request line over the limit.
  const std::string post =
      Exchange(secd.port(), "POST /health HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nab");
  EXPECT_EQ(post.rfind("HTTP/1.1 405 ", 0), 0u) << post;
  const std::string huge =
      Exchange(secd.port(), "GET /metrics?" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(huge.rfind("HTTP/1.1 414 ", 0), 0u) << huge.substr(0, 100);

  const std::string text = HttpGet(Origin(secd) + "/metrics").body;
  EXPECT_EQ(MetricValue(text, "qrnsecd_requests_total{kind=\"health\"}"), 1) << text;
  EXPECT_EQ(MetricValue(text, "qrnsecd_responses_total{class=\"4xx\"}"), 2) << text;
  EXPECT_EQ(MetricValue(text, "qrnsecd_responses_total{class=\"2xx\"}"), 3) << text;
  EXPECT_EQ(MetricValue(text, "qrnsecd_request_duration_seconds_count"), 4) << text;
}

// An instance that is stopping (here: still lingering over an answered
// connection) refuses new connections at once, so a balancer retries them
// elsewhere and a direct client falls back at once, instead of waiting
// unanswered until the process exits.
TEST(SecdSitePaths, AStoppingInstanceRefusesNewConnections) {
  TempDir dir;
  WriteDataFile(dir.File("data.json"), ReadFile(SampleDataPath()));
  SecdProcess secd(dir.File("data.json"));
  const int held = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(secd.port()));
  ASSERT_EQ(connect(held, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string ask = "GET /health HTTP/1.1\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(send(held, ask.data(), ask.size(), MSG_NOSIGNAL), static_cast<ssize_t>(ask.size()));
  std::this_thread::sleep_for(200ms);  // answered; the server lingers over it

  kill(secd.pid(), SIGTERM);
  std::this_thread::sleep_for(100ms);
  const auto start = Clock::now();
  const std::string answer = Exchange(secd.port(), "GET /health HTTP/1.1\r\n\r\n");
  EXPECT_LT(Clock::now() - start, 500ms) << answer;
  EXPECT_EQ(answer.find("200 OK"), std::string::npos);
  close(held);
  EXPECT_EQ(secd.Stop(), 0);
}

}  // namespace
}  // namespace qrn::test
