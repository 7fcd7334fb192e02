// The HTTP transport's response-head reader on arbitrary bytes, delivered
// in pieces whose sizes the first input byte chooses. The reader must never
// take more than its 8192-byte buffer, and what it reports must be
// consistent with what it was given.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "security/common/qrnauthenticate/transport_http_head.h"

namespace {

class Pieces : public qrn::ByteChannel {
 public:
  Pieces(const uint8_t* data, size_t size, size_t piece)
      : data_(data), size_(size), piece_(piece) {}
  long Receive(uint8_t* buffer, size_t size) override {
    if (size == 0) abort();  // the reader never asks for nothing
    size_t n = std::min({size, size_ - at_, piece_});
    if (n == 0) return 0;
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    return static_cast<long>(n);
  }
  bool Send(const uint8_t*, size_t) override { return true; }
  size_t taken() const { return at_; }

 private:
  const uint8_t* data_;
  size_t size_, piece_, at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 9000) return 0;
  size_t piece = data[0] % 16 == 0 ? 8192 : data[0] % 16;
  Pieces channel(data + 1, size - 1, piece);
  qrn::ResponseHead head = qrn::ReadResponseHead(channel);
  if (channel.taken() > qrn::kResponseBufferSize) abort();
  if (head.challenge.size() > qrn::kResponseBufferSize) abort();
  if (head.outcome == qrn::ResponseHead::Outcome::kComplete) {
    // The body bytes are what followed the blank line in what was taken.
    if (head.bodyBytes > channel.taken() - 2) abort();
    const uint8_t* end = data + 1 + channel.taken() - head.bodyBytes;
    if (std::memcmp(end - 4, "\r\n\r\n", 4) != 0 && std::memcmp(end - 2, "\r\n", 2) != 0) abort();
  } else if (head.outcome == qrn::ResponseHead::Outcome::kTooLarge) {
    if (channel.taken() != qrn::kResponseBufferSize) abort();
  }
  return 0;
}
