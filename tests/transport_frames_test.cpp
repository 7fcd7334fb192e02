// The pieces of the handshake transports that work on bytes: socket frames
// over split and broken streams, the transport's base64 with its reported
// length, and the HTTP response-head reader.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/transport_base64.h"
#include "security/common/qrnauthenticate/transport_channel.h"
#include "security/common/qrnauthenticate/transport_http_head.h"

namespace {

using qrn::ResponseHead;

// A peer that delivers given pieces, one per receive, then closes (or
// fails); it records how many bytes were taken.
class ScriptedChannel : public qrn::ByteChannel {
 public:
  explicit ScriptedChannel(std::vector<std::string> pieces, bool fail_at_end = false)
      : pieces_(pieces.begin(), pieces.end()), fail_at_end_(fail_at_end) {}
  long Receive(uint8_t* buffer, size_t size) override {
    if (pieces_.empty()) return fail_at_end_ ? -1 : 0;
    std::string& piece = pieces_.front();
    size_t n = std::min(size, piece.size());
    std::memcpy(buffer, piece.data(), n);
    piece.erase(0, n);
    if (piece.empty()) pieces_.pop_front();
    taken += n;
    return static_cast<long>(n);
  }
  bool Send(const uint8_t* data, size_t size) override {
    sent.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  size_t taken = 0;
  std::string sent;

 private:
  std::deque<std::string> pieces_;
  bool fail_at_end_;
};

std::string Prefix(uint32_t n) { return std::string(reinterpret_cast<const char*>(&n), 4); }

TEST(FrameTest, FramesSplitShortAndOversized) {
  uint8_t buffer[16];
  uint32_t length = 99;
  // The length in two pieces, the token in three.
  ScriptedChannel split({Prefix(5).substr(0, 2), Prefix(5).substr(2) + "he", "l", "lo"});
  ASSERT_TRUE(qrn::ReceiveFrame(split, buffer, sizeof buffer, &length));
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "hello");

  // Closed after 3 length bytes, or inside the token, or failing.
  ScriptedChannel three({Prefix(5).substr(0, 3)});
  EXPECT_FALSE(qrn::ReceiveFrame(three, buffer, sizeof buffer, &length));
  ScriptedChannel short_token({Prefix(5) + "hel"});
  EXPECT_FALSE(qrn::ReceiveFrame(short_token, buffer, sizeof buffer, &length));
  ScriptedChannel error({Prefix(5)}, true);
  EXPECT_FALSE(qrn::ReceiveFrame(error, buffer, sizeof buffer, &length));

  // A length beyond the buffer is refused with only the length read.
  ScriptedChannel big({Prefix(17), std::string(17, 'x')});
  EXPECT_FALSE(qrn::ReceiveFrame(big, buffer, sizeof buffer, &length));
  EXPECT_EQ(big.taken, 4u);
  ScriptedChannel exact({Prefix(16) + std::string(16, 'x')});
  EXPECT_TRUE(qrn::ReceiveFrame(exact, buffer, sizeof buffer, &length));

  // An empty token sends nothing at all; others go out length first.
  ScriptedChannel out({});
  EXPECT_TRUE(qrn::SendFrame(out, reinterpret_cast<const uint8_t*>("abc"), 0));
  EXPECT_EQ(out.sent, "");
  EXPECT_TRUE(qrn::SendFrame(out, reinterpret_cast<const uint8_t*>("abc"), 3));
  EXPECT_EQ(out.sent, Prefix(3) + "abc");
}

TEST(FrameTest, SocketFramesAcrossReadsAndTimeouts) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  qrn::SocketChannel reader(pair[0]);
  // Written in pieces with pauses: the reader sees several receives.
  std::thread writer([&] {
    std::string frame = Prefix(4) + "abcd";
    for (char c : frame) {
      ASSERT_EQ(write(pair[1], &c, 1), 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  uint8_t buffer[8];
  uint32_t length = 0;
  EXPECT_TRUE(qrn::ReceiveFrame(reader, buffer, sizeof buffer, &length));
  writer.join();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "abcd");

  // A zero-length frame puts no byte on the socket.
  qrn::SocketChannel sender(pair[1]);
  EXPECT_TRUE(qrn::SendFrame(sender, buffer, 0));
  char c;
  EXPECT_EQ(recv(pair[0], &c, 1, MSG_DONTWAIT), -1);

  // A peer that stops sending is given up after the transport timeout.
  CQRNAuthenticate::SetTransportTimeout(200);
  qrn::SocketChannel waiting(pair[0]);
  ASSERT_EQ(write(pair[1], "\x04\x00", 2), 2);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(qrn::ReceiveFrame(waiting, buffer, sizeof buffer, &length));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::seconds(5));
  char drain[8];
  (void)!recv(pair[0], drain, sizeof drain, MSG_DONTWAIT);

  // Nor can one that trickles a frame byte by byte, each in time: the
  // whole frame must arrive within the timeout.
  std::thread trickle([&] {
    std::string frame = Prefix(4) + "abcd";
    for (char c : frame) {
      if (write(pair[1], &c, 1) != 1) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
  });
  qrn::SocketChannel slow(pair[0]);
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(qrn::ReceiveFrame(slow, buffer, sizeof buffer, &length));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  trickle.join();
  close(pair[0]);
  close(pair[1]);
}

// ---- base64 ----------------------------------------------------------------------

struct Decoded {
  std::string bytes;  // up to the true count
  uint32_t reported, actual;
  bool terminated;  // a NUL right after the true count
};
Decoded Decode(const char* text) {
  qrn::_BUFFER b;
  qrn::BufferInit(&b);
  Decoded d{};
  EXPECT_TRUE(qrn::TransportBase64Decode(text, &b, &d.reported, &d.actual));
  d.bytes.assign(reinterpret_cast<char*>(b.data), d.actual);
  d.terminated = b.data[d.actual] == 0 && b.capacity >= d.reported + 1;
  qrn::BufferRelease(&b);
  return d;
}

TEST(TransportBase64Test, ReportedLengthRuleRunAndAlphabet) {
  Decoded abc = Decode("YWJj");
  EXPECT_EQ(abc.bytes, "abc");
  EXPECT_EQ(abc.reported, 3u);
  Decoded ab = Decode("YWI=");
  EXPECT_EQ(ab.reported, 3u);
  EXPECT_EQ(ab.bytes, "ab");
  EXPECT_TRUE(ab.terminated);
  Decoded a = Decode("YQ==");
  EXPECT_EQ(a.reported, 3u);
  EXPECT_EQ(a.bytes, "a");
  EXPECT_TRUE(a.terminated);
  // Leading blanks and tabs are skipped; the run ends at anything else,
  // a byte above 127 included.
  EXPECT_EQ(Decode(" \t YWJjZA==").bytes, "abcd");
  EXPECT_EQ(Decode("YWJj ZGVm").bytes, "abc");
  EXPECT_EQ(Decode("YWJj\xC3\xA9ZGVm").bytes, "abc");
  EXPECT_EQ(Decode("\nYWJj").reported, 0u);
  Decoded empty = Decode("");
  EXPECT_EQ(empty.reported, 0u);
  EXPECT_TRUE(empty.terminated);
  // A lone character carries no whole byte.
  Decoded lone = Decode("YWJjZ");
  EXPECT_EQ(lone.reported, 6u);
  EXPECT_EQ(lone.bytes, "abc");

  // Encoding: the last two alphabet characters and padding; a buffer one
  // byte short of text and NUL is refused, not cut.
  char out[5];
  ASSERT_TRUE(qrn::TransportBase64Encode(reinterpret_cast<const uint8_t*>("\xfb\xff"), 2, out, 5));
  EXPECT_STREQ(out, "+/8=");
  EXPECT_FALSE(qrn::TransportBase64Encode(reinterpret_cast<const uint8_t*>("abc"), 3, out, 4));
}

// ---- response head ---------------------------------------------------------------

TEST(ResponseHeadTest, LinesAcrossReceivesAndTheLastChallenge) {
  ScriptedChannel channel({"HTTP/1.1  401 Unauth", "orized\r",
                           "\nWWW-authenticate: Basic realm=x\r\n",
                           "Content-Length: 12\r\nwww-Authenticate: NTLM   TlRM\r\n\r", "\nbody"});
  ResponseHead head = qrn::ReadResponseHead(channel);
  EXPECT_EQ(head.outcome, ResponseHead::Outcome::kComplete);
  EXPECT_EQ(head.status, 401u);
  EXPECT_TRUE(head.haveChallenge);
  EXPECT_EQ(head.challenge, "TlRM");
  EXPECT_TRUE(head.haveContentLength);
  EXPECT_EQ(head.contentLength, 12u);
  EXPECT_EQ(head.bodyBytes, 4u);

  ScriptedChannel bare({"HTTP/1.0 200 OK\r\nWWW-Authenticate: NTLM\r\n\r\n"});
  head = qrn::ReadResponseHead(bare);
  EXPECT_EQ(head.status, 200u);
  EXPECT_TRUE(head.haveChallenge);
  EXPECT_EQ(head.challenge, "");
  EXPECT_FALSE(head.haveContentLength);
  EXPECT_EQ(head.bodyBytes, 0u);
}

TEST(ResponseHeadTest, BrokenAndOversizedHeads) {
  ScriptedChannel closed({"HTTP/1.1 401 X\r\nWWW-Authenticate: NTLM abc\r\n"});
  EXPECT_EQ(qrn::ReadResponseHead(closed).outcome, ResponseHead::Outcome::kBroken);
  ScriptedChannel failed({"HTTP/1.1 401 X\r\n"}, true);
  EXPECT_EQ(qrn::ReadResponseHead(failed).outcome, ResponseHead::Outcome::kBroken);

  // 8192 bytes hold the whole head, or it is refused (one long line, or
  // many short ones), and nothing past the buffer is read.
  std::string fits = "HTTP/1.1 200 OK\r\nX: " + std::string(8192 - 17 - 3 - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(fits.size(), 8192u);
  ScriptedChannel full({fits});
  EXPECT_EQ(qrn::ReadResponseHead(full).outcome, ResponseHead::Outcome::kComplete);
  ScriptedChannel one_line({"HTTP/1.1 200 OK\r\nX: " + std::string(9000, 'a') + "\r\n\r\n"});
  EXPECT_EQ(qrn::ReadResponseHead(one_line).outcome, ResponseHead::Outcome::kTooLarge);
  EXPECT_EQ(one_line.taken, 8192u);
  std::string many = "HTTP/1.1 200 OK\r\n";
  while (many.size() < 9000) many += "X-Line: 12345\r\n";
  ScriptedChannel many_lines({many + "\r\n"});
  EXPECT_EQ(qrn::ReadResponseHead(many_lines).outcome, ResponseHead::Outcome::kTooLarge);

  // A huge Content-Length saturates instead of wrapping.
  ScriptedChannel huge({"HTTP/1.1 401 X\r\nContent-Length: 99999999999999999999999\r\n\r\n"});
  EXPECT_EQ(qrn::ReadResponseHead(huge).contentLength, UINT64_MAX);
}

}  // namespace
