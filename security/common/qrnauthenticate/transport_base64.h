// The HTTP transport's growable buffer and its own base64 (standard
// alphabet, "=" padding) with the decoder's reported-length rule.
#pragma once

#include <cstdint>

namespace qrn {

// Growable byte buffer: the data pointer (owned, null when empty) and the
// capacity.
struct _BUFFER {
  uint8_t* data;
  uint32_t capacity;
};
void BufferInit(_BUFFER* buffer);
// At least `size` bytes: a larger size allocates a new block, copies the
// old contents and frees the old block; a smaller one changes nothing.
// False only when the allocation fails (the buffer is then unchanged).
bool BufferResize(_BUFFER* buffer, uint32_t size);
uint8_t* BufferData(_BUFFER* buffer);
void BufferRelease(_BUFFER* buffer);

// Text length of n encoded bytes: 4 x ceil(n / 3), without the NUL.
constexpr uint32_t Base64EncodedLength(uint32_t n) { return (n + 2) / 3 * 4; }
// Encodes n bytes into out followed by a NUL; false when `capacity` cannot
// hold Base64EncodedLength(n) + 1 bytes.
bool TransportBase64Encode(const uint8_t* data, uint32_t n, char* out, uint32_t capacity);

// Decodes text: leading blanks and tabs are skipped, then the longest run
// of alphabet characters (k of them) is decoded. *reported is 3 x ceil(k /
// 4); the true byte count (*actual, optional) is 1 less when k mod 4 is 3,
// 2 less when it is 2 and 3 less when it is 1 (a lone character carries no
// whole byte). `out` receives reported + 1 bytes: the decoded bytes, then
// zeros from the true byte count on, so the text is NUL-terminated there.
// False only when the buffer cannot be allocated.
bool TransportBase64Decode(const char* text, _BUFFER* out, uint32_t* reported,
                           uint32_t* actual = nullptr);

}  // namespace qrn
