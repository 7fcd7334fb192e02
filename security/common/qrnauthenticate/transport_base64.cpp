// The HTTP transport's buffer and base64.
#include "security/common/qrnauthenticate/transport_base64.h"

#include <cstring>
#include <new>

namespace qrn {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of an alphabet character, else 64.
uint8_t Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 64;
}

}  // namespace

void BufferInit(_BUFFER* buffer) {
  buffer->data = nullptr;
  buffer->capacity = 0;
}

bool BufferResize(_BUFFER* buffer, uint32_t size) {
  if (size <= buffer->capacity) return true;
  uint8_t* block = new (std::nothrow) uint8_t[size];
  if (block == nullptr) return false;
  if (buffer->data != nullptr) std::memcpy(block, buffer->data, buffer->capacity);
  delete[] buffer->data;
  buffer->data = block;
  buffer->capacity = size;
  return true;
}

uint8_t* BufferData(_BUFFER* buffer) { return buffer->data; }

void BufferRelease(_BUFFER* buffer) {
  delete[] buffer->data;
  BufferInit(buffer);
}

bool TransportBase64Encode(const uint8_t* data, uint32_t n, char* out, uint32_t capacity) {
  if (static_cast<uint64_t>(Base64EncodedLength(n)) + 1 > capacity) return false;
  char* p = out;
  for (uint32_t i = 0; i < n; i += 3) {
    uint32_t rest = n - i;
    uint32_t group = static_cast<uint32_t>(data[i]) << 16 |
                     (rest > 1 ? static_cast<uint32_t>(data[i + 1]) << 8 : 0) |
                     (rest > 2 ? data[i + 2] : 0);
    *p++ = kAlphabet[group >> 18];
    *p++ = kAlphabet[(group >> 12) & 63];
    *p++ = rest > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    *p++ = rest > 2 ? kAlphabet[group & 63] : '=';
  }
  *p = '\0';
  return true;
}

bool TransportBase64Decode(const char* text, _BUFFER* out, uint32_t* reported, uint32_t* actual) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text == nullptr ? "" : text);
  while (*p == ' ' || *p == '\t') ++p;
  const unsigned char* start = p;
  while (Value(*p) < 64) ++p;
  // The run is bounded by the text, itself bounded by the response head.
  uint32_t k = static_cast<uint32_t>(p - start);
  uint32_t groups = (k + 3) / 4;
  uint32_t length = groups * 3;
  uint32_t lack = (4 - k % 4) % 4;  // characters missing from the last group
  uint32_t exact = length - lack;
  if (!BufferResize(out, length + 1)) return false;
  uint8_t* o = out->data;
  for (uint32_t g = 0; g < groups; ++g) {
    uint32_t v[4];
    for (uint32_t j = 0; j < 4; ++j) {
      uint32_t at = g * 4 + j;
      v[j] = at < k ? Value(start[at]) : 0;
    }
    o[g * 3] = static_cast<uint8_t>(v[0] << 2 | v[1] >> 4);
    o[g * 3 + 1] = static_cast<uint8_t>(v[1] << 4 | v[2] >> 2);
    o[g * 3 + 2] = static_cast<uint8_t>(v[2] << 6 | v[3]);
  }
  // Whatever the short last group does not fill holds no data: zeros, and
  // the NUL after the true byte count.
  std::memset(o + exact, 0, length + 1 - exact);
  *reported = length;
  if (actual != nullptr) *actual = exact;
  return true;
}

}  // namespace qrn
