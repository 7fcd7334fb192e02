// The response-head reader of the HTTP transport.
#include "security/common/qrnauthenticate/transport_http_head.h"

#include <string_view>
#include <vector>

namespace qrn {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool StartsWithNoCase(std::string_view line, std::string_view prefix) {
  if (line.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = line[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// Skips one word (anything but blanks) and the blanks after it.
std::string_view SkipWord(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && !IsBlank(s[i])) ++i;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

// The leading decimal digits, saturating instead of overflowing.
uint64_t Decimal(std::string_view s) {
  uint64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    n = n > (UINT64_MAX - digit) / 10 ? UINT64_MAX : n * 10 + digit;
  }
  return n;
}

// Takes in one line (without CR LF); true when it was the empty line.
bool TakeLine(std::string_view line, bool first, ResponseHead* head) {
  if (first) {
    uint64_t status = Decimal(SkipWord(line));
    head->status = status > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(status);
    return false;
  }
  if (line.empty()) return true;
  if (StartsWithNoCase(line, "WWW-Authenticate:")) {
    head->haveChallenge = true;
    head->challenge.assign(SkipWord(SkipWord(line)));
  } else if (StartsWithNoCase(line, "Content-Length:")) {
    head->haveContentLength = true;
    head->contentLength = Decimal(SkipWord(line));
  }
  return false;
}

}  // namespace

ResponseHead ReadResponseHead(ByteChannel& channel) {
  ResponseHead head;
  std::vector<uint8_t> buffer(kResponseBufferSize);
  const char* data = reinterpret_cast<const char*>(buffer.data());
  uint32_t filled = 0;   // bytes received
  uint32_t scanned = 0;  // start of the line not yet complete
  bool first = true;
  for (;;) {
    // The whole head must fit the buffer: a head (or a line) that fills it
    // without its end is refused.
    if (filled == kResponseBufferSize) {
      head.outcome = ResponseHead::Outcome::kTooLarge;
      return head;
    }
    long n = channel.Receive(buffer.data() + filled, kResponseBufferSize - filled);
    if (n <= 0) {
      head.outcome = ResponseHead::Outcome::kBroken;
      return head;
    }
    uint32_t from = filled;
    filled += static_cast<uint32_t>(n);
    // A CR at the end of the previous piece may pair with an LF now.
    for (uint32_t i = from > scanned ? from - 1 : scanned; i + 1 < filled; ++i) {
      if (data[i] != '\r' || data[i + 1] != '\n') continue;
      bool end = TakeLine(std::string_view(data + scanned, i - scanned), first, &head);
      first = false;
      scanned = i + 2;
      ++i;
      if (end) {
        head.outcome = ResponseHead::Outcome::kComplete;
        head.bodyBytes = filled - scanned;
        return head;
      }
    }
  }
}

}  // namespace qrn
