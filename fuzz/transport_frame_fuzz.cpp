// The socket transport's frame reader on arbitrary bytes: the first byte
// chooses the buffer capacity, the second the size of the pieces the peer
// delivers. A frame that fits must come back exactly; a length beyond the
// capacity must be refused with only its 4 bytes read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "security/common/qrnauthenticate/transport_channel.h"

namespace {

class Pieces : public qrn::ByteChannel {
 public:
  Pieces(const uint8_t* data, size_t size, size_t piece)
      : data_(data), size_(size), piece_(piece) {}
  long Receive(uint8_t* buffer, size_t size) override {
    if (size == 0) abort();
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
  if (size < 2 || size > 8192) return 0;
  uint32_t capacity = data[0] * 16u;
  size_t piece = data[1] % 8 + 1;
  const uint8_t* stream = data + 2;
  size_t stream_size = size - 2;
  // Exactly `capacity` bytes on the heap, so a write beyond is caught.
  std::vector<uint8_t> buffer(capacity);
  Pieces channel(stream, stream_size, piece);
  uint32_t length = 0;
  bool ok = qrn::ReceiveFrame(channel, buffer.data(), capacity, &length);
  uint32_t declared = 0;
  if (stream_size >= 4) std::memcpy(&declared, stream, 4);
  bool whole = stream_size >= 4 && declared <= capacity && stream_size - 4 >= declared;
  if (ok != whole) abort();
  if (ok && (length != declared ||
             (length != 0 && std::memcmp(buffer.data(), stream + 4, length) != 0)))
    abort();
  if (stream_size >= 4 && declared > capacity && channel.taken() != 4) abort();
  return 0;
}
