// The HTTP transport's base64 decoder on arbitrary text, with its
// reported-length rule as the oracle: with k alphabet characters after the
// leading blanks and tabs, the reported length is 3 x ceil(k / 4), the true
// byte count 1, 2 or 3 less for a short last group, a NUL follows the true
// bytes, and the whole groups encode back to the text they came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "security/common/qrnauthenticate/transport_base64.h"

namespace {

bool InAlphabet(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated by c_str
  size_t start = 0;
  while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
  size_t k = 0;
  while (start + k < text.size() && InAlphabet(static_cast<unsigned char>(text[start + k]))) ++k;

  qrn::_BUFFER out;
  qrn::BufferInit(&out);
  uint32_t reported = 0, actual = 0;
  if (!qrn::TransportBase64Decode(text.c_str(), &out, &reported, &actual)) abort();
  if (reported != (k + 3) / 4 * 3) abort();
  uint32_t lack = static_cast<uint32_t>((4 - k % 4) % 4);
  if (actual != reported - lack) abort();
  if (out.capacity < reported + 1 || out.data[actual] != 0) abort();

  size_t whole = k / 4;
  std::vector<char> again(whole * 4 + 1);
  if (!qrn::TransportBase64Encode(out.data, static_cast<uint32_t>(whole * 3), again.data(),
                                  static_cast<uint32_t>(again.size())))
    abort();
  if (std::memcmp(again.data(), text.data() + start, whole * 4) != 0) abort();
  qrn::BufferRelease(&out);
  return 0;
}
