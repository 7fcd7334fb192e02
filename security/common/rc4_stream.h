// RC4 keystream generator for the cache text form. Written here rather than
// taken from the cryptographic library so that the text codec can interleave
// the keystream with base64 in one pass: the keystream loop is bound by the
// latency of its table reads, which leaves the processor room for the codec's
// table look-ups at almost no extra cost.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrn {

class Rc4Stream;

// The running keystream of an Rc4Stream held in locals: a hot loop works on a
// cursor so the compiler keeps both indices in registers (stores into the
// table could otherwise alias the stream's own index members).
class Rc4Cursor {
 public:
  explicit Rc4Cursor(Rc4Stream& stream);
  // Writes the indices back into the stream.
  ~Rc4Cursor();
  Rc4Cursor(const Rc4Cursor&) = delete;
  Rc4Cursor& operator=(const Rc4Cursor&) = delete;

  // The next keystream byte.
  uint8_t Next() {
    i_ = (i_ + 1) & 0xFF;
    uint32_t a = s_[i_];
    j_ = (j_ + a) & 0xFF;
    uint32_t b = s_[j_];
    s_[j_] = a;
    s_[i_] = b;
    return static_cast<uint8_t>(s_[(a + b) & 0xFF]);
  }

 private:
  Rc4Stream& stream_;
  uint32_t* s_;
  uint32_t i_;
  uint32_t j_;
};

class Rc4Stream {
 public:
  // Key schedule; key_length 1 to 256 bytes (anything else leaves the state
  // as the identity permutation, which no caller passes).
  void SetKey(const uint8_t* key, size_t key_length);

  // XORs the next length keystream bytes into data.
  void Apply(uint8_t* data, size_t length);

  // Overwrites the state, so no key material stays on the stack or heap.
  void Wipe();

 private:
  friend class Rc4Cursor;
  // 32-bit entries: byte entries make the compiler merge and split partial
  // registers in the hot loop, about 1.6x slower on x86-64.
  uint32_t s_[256] = {};
  uint32_t i_ = 0;
  uint32_t j_ = 0;
};

inline Rc4Cursor::Rc4Cursor(Rc4Stream& stream)
    : stream_(stream), s_(stream.s_), i_(stream.i_), j_(stream.j_) {}

inline Rc4Cursor::~Rc4Cursor() {
  stream_.i_ = i_;
  stream_.j_ = j_;
}

}  // namespace qrn
