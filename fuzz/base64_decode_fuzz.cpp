// Decodes arbitrary text with every capacity up to a little beyond what it
// needs; the decoder must never write past capacity, and what it accepts
// must encode back to the same text once white space is removed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "security/common/qrncrypt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  int needed = qrn::Base64Decode(text, nullptr, 0, qrn::kCacheAlphabet);
  for (int capacity = 0; capacity <= needed + 3 && capacity <= static_cast<int>(size) + 3;
       ++capacity) {
    // Exactly capacity bytes on the heap, so a write beyond is caught.
    std::vector<uint8_t> out(static_cast<size_t>(capacity) + 1);
    uint8_t* buffer = out.data() + 1;
    int decoded = qrn::Base64Decode(text, buffer, capacity, qrn::kCacheAlphabet);
    if (decoded > capacity) abort();
    if (decoded >= 0 && decoded != needed) abort();
  }
  if (needed < 0) return 0;
  std::vector<uint8_t> bytes(static_cast<size_t>(needed) + 3);
  if (qrn::Base64Decode(text, bytes.data(), static_cast<int>(bytes.size()), qrn::kCacheAlphabet) !=
      needed)
    abort();
  std::string again(static_cast<size_t>(needed) / 3 * 4 + 8, '\0');
  int written = qrn::Base64Encode(bytes.data(), static_cast<size_t>(needed), again.data(),
                                  static_cast<int>(again.size()), qrn::kCacheAlphabet);
  std::string compact;
  for (char c : text)
    if (!std::strchr(" \t\r\n\v\f", c)) compact += c;
  if (written < 0 || again.substr(0, static_cast<size_t>(written)) != compact) abort();
  return 0;
}
