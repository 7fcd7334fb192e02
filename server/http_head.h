// The head of an HTTP/1.x request: found in the bytes a connection has
// received so far, bounded, and split into what qrnsecd needs.
//
// Limits: a line (request line or header line) at most kMaxHeadLine bytes,
// the whole head at most kMaxHead bytes. A head over either limit is refused
// as soon as the limit is passed, without waiting for (or keeping) the rest.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qrn::secd {

constexpr size_t kMaxHeadLine = 8 * 1024;
constexpr size_t kMaxHead = 64 * 1024;

// Finds the end of a head in a growing buffer without looking at a byte
// twice, so a client sending one byte at a time costs no more than one
// sending all at once.
class HeadScanner {
 public:
  enum class State { kMore, kComplete, kLineTooLong, kHeadTooLong };

  // Looks at the bytes of `buffer` not seen yet. kComplete: the head is
  // buffer[0, head_size()), the blank line included.
  State Scan(std::string_view buffer);
  size_t head_size() const { return head_size_; }
  bool first_line() const { return lines_ == 0; }
  // Starts over for the next head, which begins at offset 0 of the buffer.
  void Reset() { *this = HeadScanner(); }

 private:
  size_t seen_ = 0;        // bytes already looked at
  size_t line_start_ = 0;  // offset of the current line
  size_t lines_ = 0;       // complete lines so far
  size_t head_size_ = 0;
};

struct HttpRequest {
  std::string method;
  std::string target;  // as sent: path, then "?" and the query
  int minor_version = 1;
  bool keep_alive = true;  // HTTP/1.1 unless "Connection: close"; 1.0 only with keep-alive
  bool has_body = false;   // a Content-Length over 0, or any Transfer-Encoding
};

// Splits a complete head (as HeadScanner found it). 0 when it is well
// formed, else the status to answer with (400 or 505).
int ParseHead(std::string_view head, HttpRequest* request);

}  // namespace qrn::secd
