// qrnsecd's request-head reader: where a head ends however it arrives, the
// limits, and the fields that decide whether the connection goes on.
#include <gtest/gtest.h>

#include <string>

#include "server/http_head.h"

namespace qrn::secd {
namespace {

using State = HeadScanner::State;

// Feeds `bytes` in pieces of `step` bytes, as a slow client would send them.
State ScanInSteps(const std::string& bytes, size_t step, size_t* head_size = nullptr) {
  HeadScanner scanner;
  std::string buffer;
  State state = State::kMore;
  for (size_t at = 0; at < bytes.size() && state == State::kMore; at += step) {
    buffer += bytes.substr(at, step);
    state = scanner.Scan(buffer);
  }
  if (head_size) *head_size = scanner.head_size();
  return state;
}

TEST(HttpHeadTest, EndOfHeadIsFoundHoweverTheBytesArrive) {
  const std::string head = "GET /p?a=b HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string next = "GET /q HTTP/1.1\r\n\r\n";
  for (size_t step : {1u, 2u, 7u, 1000u}) {
    size_t size = 0;
    EXPECT_EQ(ScanInSteps(head + next, step, &size), State::kComplete) << step;
    EXPECT_EQ(size, head.size()) << step;  // the pipelined request stays for later
  }
  size_t size = 0;
  EXPECT_EQ(ScanInSteps("GET / HTTP/1.1\nHost: x\n\nrest", 3, &size), State::kComplete);
  EXPECT_EQ(size, 24u);
  EXPECT_EQ(ScanInSteps("GET / HTTP/1.1\r\nHost: x\r\n", 1), State::kMore);
}

TEST(HttpHeadTest, LinesAndHeadsOverTheLimitsAreRefusedEarly) {
  const std::string line(kMaxHeadLine, 'a');
  // A line of exactly the limit is fine; one byte more is not, even before
  // its end arrives.
  EXPECT_EQ(ScanInSteps("GET / HTTP/1.1\r\nX: " + line.substr(3) + "\r\n\r\n", 4096),
            State::kComplete);
  EXPECT_EQ(ScanInSteps("GET / HTTP/1.1\r\nX: " + line, 4096), State::kLineTooLong);
  EXPECT_EQ(ScanInSteps("GET /" + line + " HTTP/1.1\r\n", 4096), State::kLineTooLong);
  HeadScanner first;
  EXPECT_EQ(first.Scan("GET /" + line), State::kLineTooLong);
  EXPECT_TRUE(first.first_line());

  std::string many = "GET / HTTP/1.1\r\n";
  while (many.size() <= kMaxHead) many += "X-Header: value\r\n";
  EXPECT_EQ(ScanInSteps(many + "\r\n", 1), State::kHeadTooLong);
  EXPECT_EQ(ScanInSteps(many, 65536), State::kHeadTooLong);  // without waiting for the end
}

TEST(HttpHeadTest, RequestLineAndFieldsAreChecked) {
  HttpRequest r;
  EXPECT_EQ(ParseHead("GET /a?b HTTP/1.1\r\nHost: x\r\n\r\n", &r), 0);
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.target, "/a?b");
  EXPECT_TRUE(r.keep_alive);
  EXPECT_FALSE(r.has_body);

  for (const char* bad : {"\r\n\r\n", "GET\r\n\r\n", "GET /\r\n\r\n", "GET  / HTTP/1.1\r\n\r\n",
                          "GET / HTTP/1.1 x\r\n\r\n", "G\xff / HTTP/1.1\r\n\r\n",
                          "GET /\x01 HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\n folded\r\n\r\n",
                          "GET / HTTP/1.1\r\nNo colon\r\n\r\n", "GET / HTTP/1.1\r\nA b: c\r\n\r\n",
                          "GET / HTTP/1.1\r\nX: a\x01z\r\n\r\n",
                          "GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
                          "GET / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
                          "GET / HTTP/1.1\r\nContent-Length: 0\r\nContent-Length: 5\r\n\r\n"}) {
    HttpRequest ignored;
    EXPECT_EQ(ParseHead(bad, &ignored), 400) << bad;
  }
  HttpRequest ignored;
  EXPECT_EQ(ParseHead("GET / HTTP/2.0\r\n\r\n", &ignored), 505);
}

TEST(HttpHeadTest, ConnectionAndBodyDecideWhetherTheConnectionGoesOn) {
  const auto parse = [](const std::string& head) {
    HttpRequest r;
    EXPECT_EQ(ParseHead(head, &r), 0) << head;
    return r;
  };
  EXPECT_FALSE(parse("GET / HTTP/1.1\r\nConnection: Keep-Alive, CLOSE\r\n\r\n").keep_alive);
  EXPECT_FALSE(parse("GET / HTTP/1.0\r\n\r\n").keep_alive);
  EXPECT_TRUE(parse("GET / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n").keep_alive);
  EXPECT_TRUE(parse("GET / HTTP/1.1\r\nContent-Length: 3\r\n\r\n").has_body);
  EXPECT_TRUE(parse("GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n").has_body);
  EXPECT_FALSE(parse("GET / HTTP/1.1\r\nContent-Length: 0\r\n\r\n").has_body);
}

}  // namespace
}  // namespace qrn::secd
