// RC4 key schedule and bulk keystream application.
#include "security/common/rc4_stream.h"

#include <bit>
#include <cstring>

namespace qrn {

void Rc4Stream::SetKey(const uint8_t* key, size_t key_length) {
  for (uint32_t k = 0; k < 256; ++k) s_[k] = k;
  i_ = 0;
  j_ = 0;
  if (key == nullptr || key_length == 0 || key_length > 256) return;
  uint32_t j = 0;
  for (uint32_t k = 0; k < 256; ++k) {
    j = (j + s_[k] + key[k % key_length]) & 0xFF;
    uint32_t t = s_[k];
    s_[k] = s_[j];
    s_[j] = t;
  }
}

void Rc4Stream::Apply(uint8_t* data, size_t length) {
  Rc4Cursor cursor(*this);
  size_t k = 0;
  // Eight keystream bytes gathered into one word, then one XOR per word.
  for (; k + 8 <= length; k += 8) {
    uint64_t stream = 0;
    // The keystream byte for data[k + b] goes where memcpy puts that byte.
#pragma GCC unroll 8
    for (unsigned b = 0; b < 8; ++b) {
      unsigned shift = std::endian::native == std::endian::little ? 8 * b : 56 - 8 * b;
      stream |= uint64_t{cursor.Next()} << shift;
    }
    uint64_t word;
    std::memcpy(&word, data + k, sizeof word);
    word ^= stream;
    std::memcpy(data + k, &word, sizeof word);
  }
  for (; k < length; ++k) data[k] ^= cursor.Next();
}

void Rc4Stream::Wipe() {
  volatile uint32_t* p = s_;
  for (size_t k = 0; k < 256; ++k) p[k] = 0;
  volatile uint32_t* i = &i_;
  volatile uint32_t* j = &j_;
  *i = 0;
  *j = 0;
}

}  // namespace qrn
