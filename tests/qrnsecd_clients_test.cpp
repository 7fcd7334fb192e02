// qrnsecd facing slow, greedy and pipelining clients on loopback: raw sockets,
// so that the client does exactly what a hostile peer would.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

struct Answer {
  int status = 0;
  std::string head, body;
};

// Reads up to `count` answers (Content-Length framed) until the peer closes
// or `limit` passes. heads[i] == 'H': answer i is to a HEAD request (no body).
std::vector<Answer> ReadAnswers(int fd, size_t count, milliseconds limit,
                                const std::string& heads = "") {
  std::vector<Answer> answers;
  std::string buffer;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    for (;;) {
      const size_t end = buffer.find("\r\n\r\n");
      if (end == std::string::npos) break;
      Answer a;
      a.head = buffer.substr(0, end + 2);
      size_t length = 0;
      const size_t cl = a.head.find("Content-Length: ");
      const bool head_request = answers.size() < heads.size() && heads[answers.size()] == 'H';
      if (cl != std::string::npos && !head_request) length = std::stoul(a.head.substr(cl + 16));
      if (buffer.size() < end + 4 + length) break;
      a.body = buffer.substr(end + 4, length);
      if (a.head.size() > 12) a.status = std::atoi(a.head.c_str() + 9);
      buffer.erase(0, end + 4 + length);
      answers.push_back(std::move(a));
    }
    if (answers.size() >= count) return answers;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return answers;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return answers;
    char chunk[65536];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return answers;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

// True when the peer has closed the connection (reads end or fail) within `limit`.
bool ClosedWithin(int fd, milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  char chunk[4096];
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n <= 0) return true;
  }
  return false;
}

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

std::string Get(const std::string& target, const std::string& extra = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

constexpr char kPage[] = "/mvt/security.aspx";

class SecdClientsTest : public ::testing::Test {
 protected:
  HiveSandbox sandbox_;
};

TEST_F(SecdClientsTest, SlowHeaderClientsNeitherStarveOthersNorStayForever) {
  SecdProcess secd(SampleDataPath());
  // Twenty clients, each sending one header line per second: more
  // connections than a fixed worker pool would have.
  std::vector<int> slow;
  for (int i = 0; i < 20; ++i) {
    const int fd = Connect(secd.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, "GET /mvt/security.aspx?Object=dateTime HTTP/1.1\r\n"));
    slow.push_back(fd);
  }
  const auto start = Clock::now();
  int answered = 0, drips = 0;
  milliseconds worst{0};
  // Normal requests keep being answered, each well within its bound, for
  // longer than the slow clients are allowed to take over their head.
  while (Clock::now() - start < std::chrono::seconds(13)) {
    for (int fd : slow) (void)SendAll(fd, "X-Slow: " + std::to_string(drips) + "\r\n");
    ++drips;
    for (int i = 0; i < 3; ++i) {
      const auto sent = Clock::now();
      const int fd = Connect(secd.port());
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(SendAll(fd, Get(std::string(kPage) + "?Object=dateTime")));
      const auto answers = ReadAnswers(fd, 1, milliseconds(3000));
      close(fd);
      ASSERT_EQ(answers.size(), 1u) << "request " << answered << " not answered within 3 s";
      EXPECT_EQ(answers[0].status, 200);
      worst = std::max(worst, std::chrono::duration_cast<milliseconds>(Clock::now() - sent));
      ++answered;
    }
    std::this_thread::sleep_for(milliseconds(1000));
  }
  EXPECT_LT(worst.count(), 3000);
  // The head deadline has passed by now: every slow client has been sent
  // away (a 408 answer, then the close), none still holds its connection.
  for (int fd : slow) {
    EXPECT_TRUE(ClosedWithin(fd, milliseconds(2000)));
    close(fd);
  }
  std::printf("normal requests answered: %d, slowest %lld ms\n", answered,
              static_cast<long long>(worst.count()));
}

TEST_F(SecdClientsTest, OversizedHeadsAreRefusedWithoutKeepingTheMemory) {
  SecdProcess secd(SampleDataPath());
  // Warm up so that the baseline includes the server's ordinary working set.
  for (int i = 0; i < 3; ++i) {
    const int fd = Connect(secd.port());
    SendAll(fd, Get(std::string(kPage) + "?Object=Role&Operation=Get"));
    ReadAnswers(fd, 1, milliseconds(3000));
    close(fd);
  }
  const long before = ResidentKiB(secd.pid());
  ASSERT_GT(before, 0);

  // One line longer than a line may be.
  int fd = Connect(secd.port());
  SendAll(fd, Get(std::string(kPage), "X-Long: " + std::string(9000, 'a') + "\r\n"));
  auto answers = ReadAnswers(fd, 1, milliseconds(5000));
  close(fd);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].status, 431);
  EXPECT_NE(answers[0].head.find("Connection: close"), std::string::npos);

  // Eight heads of 200,000 short lines (about 14 MB each), sent in parallel:
  // each is refused once it is over the total, and the memory is not kept.
  std::string lines;
  for (int i = 0; i < 200000; ++i) lines += "X-Header-" + std::to_string(i) + ": value-value\r\n";
  std::vector<std::thread> clients;
  std::vector<int> statuses(8, 0);
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&, c] {
      const int s = Connect(secd.port());
      // The server stops reading after the limit: a send may then fail.
      (void)SendAll(s, "GET /mvt/security.aspx HTTP/1.1\r\n" + lines);
      const auto a = ReadAnswers(s, 1, milliseconds(5000));
      if (!a.empty()) statuses[c] = a[0].status;
      close(s);
    });
  }
  for (auto& t : clients) t.join();
  for (int status : statuses) EXPECT_TRUE(status == 431 || status == 0) << status;
  EXPECT_NE(std::count(statuses.begin(), statuses.end(), 431), 0);

  // Still serving, and without having kept what the heads would have cost.
  fd = Connect(secd.port());
  SendAll(fd, Get(std::string(kPage) + "?Object=dateTime"));
  answers = ReadAnswers(fd, 1, milliseconds(3000));
  close(fd);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].status, 200);
  const long after = ResidentKiB(secd.pid());
  std::printf("resident memory: %ld KiB before, %ld KiB after\n", before, after);
  EXPECT_LT(after - before, 16 * 1024);
}

TEST_F(SecdClientsTest, PipelinedRequestsAreAnsweredInOrder) {
  SecdProcess secd(SampleDataPath());
  const int fd = Connect(secd.port());
  ASSERT_GE(fd, 0);
  // Three requests in one write, each with its own answer.
  ASSERT_TRUE(SendAll(fd, Get(std::string(kPage) + "?Object=dateTime") +
                              Get(std::string(kPage) + "?Object=Nothing") +
                              Get(std::string(kPage))));
  const auto answers = ReadAnswers(fd, 3, milliseconds(5000));
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].status, 200);
  EXPECT_EQ(answers[1].status, 400);
  EXPECT_NE(answers[1].body.find("error"), std::string::npos);
  EXPECT_EQ(answers[2].status, 200);
  EXPECT_NE(answers[2].body.find("DOCUMENT"), std::string::npos);
  // The connection stays open for more.
  ASSERT_TRUE(SendAll(fd, "HEAD /mvt/security.aspx?Object=dateTime HTTP/1.1\r\nHost: x\r\n\r\n" +
                              Get(std::string(kPage) + "?Object=dateTime", "Connection: close\r\n")));
  const auto more = ReadAnswers(fd, 2, milliseconds(5000), "HG");
  close(fd);
  ASSERT_EQ(more.size(), 2u);
  EXPECT_EQ(more[1].body, answers[0].body);
  EXPECT_NE(more[1].head.find("Connection: close"), std::string::npos);

  // A client that shuts down its sending side after its requests still
  // gets every answer.
  const int half = Connect(secd.port());
  ASSERT_TRUE(SendAll(half, Get(std::string(kPage) + "?Object=dateTime") + Get(std::string(kPage))));
  shutdown(half, SHUT_WR);
  const auto last = ReadAnswers(half, 2, milliseconds(5000));
  EXPECT_TRUE(ClosedWithin(half, milliseconds(3000)));
  close(half);
  ASSERT_EQ(last.size(), 2u);
  EXPECT_EQ(last[0].body, answers[0].body);
  EXPECT_EQ(last[1].body, answers[2].body);
}

}  // namespace
}  // namespace qrn::test
