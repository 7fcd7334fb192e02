// The cache text form: the variant base64 codec and the RC4 text cipher.
#include "security/common/qrncrypt.h"

#include <array>
#include <atomic>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "platform/crypto.h"
#include "security/common/rc4_stream.h"

namespace qrn {

namespace {

constexpr size_t kRc4KeySize = 16;  // 5 key bytes of the digest, 11 zero bytes
constexpr size_t kKeyBytesFromDigest = 5;

// Error number of the last failed provider opening, for the status of the
// operation that needed it.
std::atomic<uint32_t> last_acquire_error{0};

// Owns the provider until the library is unloaded. Constructed only after
// OpenSSL is initialised, so its destructor runs before OpenSSL's own cleanup.
struct ProviderSlot {
  std::atomic<platform::CryptoProvider*> provider{nullptr};
  ~ProviderSlot() { platform::CloseCryptoProvider(provider.exchange(nullptr)); }
};

ProviderSlot& Slot() {
  static ProviderSlot slot;
  return slot;
}

bool IsWhite(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The keystream state right after the key schedule of the built-in pass
// phrase, kept for the process once derived: the role and ACL documents hold
// many short encrypted values, and each of them would otherwise pay an MD5
// and a key schedule. Every value starts the keystream again, so the
// keystream's first bytes are kept too: a value that fits in them is
// decrypted by XOR with that prefix, with no keystream to generate. Only a
// successful derivation is kept, so a missing provider still fails (and
// prints) on every call.
constexpr size_t kPrefixBytes = 64 * 1024;

struct PreparedKey {
  std::mutex mutex;
  std::atomic<bool> ready{false};
  Rc4Stream stream;
  std::array<uint8_t, kPrefixBytes> prefix{};  // the first keystream bytes
};

PreparedKey& BuiltInKey() {
  static PreparedKey key;
  return key;
}

// Derives the key from the pass phrase (MD5 through the provider) and runs
// the key schedule into *stream. Prints the failing step's line and returns
// its status.
HRESULT DeriveStream(const char* phrase, Rc4Stream* stream) {
  platform::CryptoProvider* provider = QrnCryptAcquireContext();
  if (provider == nullptr) return HRESULT_FROM_WIN32(last_acquire_error.load());

  uint32_t error = 0;
  platform::Md5Hash hash;
  if (!hash.Create(provider, &error)) {
    std::printf("Error %x during CryptCreateHash!\n", error);
    return HRESULT_FROM_WIN32(error);
  }
  if (!hash.Update(phrase, std::strlen(phrase), &error)) {
    std::printf("Error %x during CryptHashData!\n", error);
    return HRESULT_FROM_WIN32(error);
  }
  std::array<uint8_t, platform::kMd5DigestSize> digest{};
  if (!hash.Finish(digest.data(), &error)) {
    std::printf("Error %x during CryptDeriveKey!\n", error);
    return HRESULT_FROM_WIN32(error);
  }
  std::array<uint8_t, kRc4KeySize> key{};
  std::memcpy(key.data(), digest.data(), kKeyBytesFromDigest);
  stream->SetKey(key.data(), key.size());
  volatile uint8_t* wipe = key.data();
  for (size_t k = 0; k < key.size(); ++k) wipe[k] = 0;
  return S_OK;
}

// The built-in pass phrase's key, derived on first use.
HRESULT PrepareBuiltInKey() {
  PreparedKey& prepared = BuiltInKey();
  if (prepared.ready.load(std::memory_order_acquire)) return S_OK;
  std::lock_guard<std::mutex> lock(prepared.mutex);
  if (prepared.ready.load(std::memory_order_relaxed)) return S_OK;
  HRESULT hr = DeriveStream(kCachePassPhrase, &prepared.stream);
  if (FAILED(hr)) return hr;
  Rc4Stream running = prepared.stream;
  prepared.prefix.fill(0);
  running.Apply(prepared.prefix.data(), prepared.prefix.size());
  running.Wipe();
  prepared.ready.store(true, std::memory_order_release);
  return S_OK;
}

// The keystream from its start for the pass phrase (null: the built-in one).
HRESULT PrepareStream(const char* pass_phrase, Rc4Stream* stream) {
  if (pass_phrase != nullptr) return DeriveStream(pass_phrase, stream);
  const HRESULT hr = PrepareBuiltInKey();
  if (FAILED(hr)) return hr;
  *stream = BuiltInKey().stream;  // never written again once ready
  return S_OK;
}

// Wipes the keystream state when a call ends.
struct StreamGuard {
  Rc4Stream stream;
  ~StreamGuard() { stream.Wipe(); }
};

// Two alphabet characters per 12 bits of input: half the look-ups of one
// character per 6 bits.
// Each entry holds the two characters in memory order, so one 16-bit store
// writes both.
struct PairTable {
  std::array<uint16_t, 4096> pair{};
  constexpr PairTable() {
    for (size_t v = 0; v < pair.size(); ++v) {
      uint16_t first = static_cast<unsigned char>(kCacheAlphabet[v >> 6]);
      uint16_t second = static_cast<unsigned char>(kCacheAlphabet[v & 0x3F]);
      pair[v] = std::endian::native == std::endian::little
                    ? static_cast<uint16_t>(first | (second << 8))
                    : static_cast<uint16_t>((first << 8) | second);
    }
  }
};
constexpr PairTable kPairs;

// For each character of a group of four, its 6 bits already shifted into
// place; anything outside the alphabet (white space, "=", invalid) has bit 24
// set, so one test of the OR of the four tells a plain group.
constexpr uint32_t kNotAlphabet = 1u << 24;
struct GroupTables {
  std::array<std::array<uint32_t, 256>, 4> shifted{};
  constexpr GroupTables() {
    for (auto& table : shifted)
      for (uint32_t& v : table) v = kNotAlphabet;
    for (uint32_t k = 0; k < 64; ++k) {
      unsigned char c = static_cast<unsigned char>(kCacheAlphabet[k]);
      shifted[0][c] = k << 18;
      shifted[1][c] = k << 12;
      shifted[2][c] = k << 6;
      shifted[3][c] = k;
    }
  }
};
constexpr GroupTables kGroups;

// Encrypts data[0, length) with the stream and writes its base64 text and a
// terminator into out, which the caller checked has room. The cipher bytes
// also go back into data when kInPlace; otherwise data is only read.
template <bool kInPlace>
size_t EncryptEncode(Rc4Stream& stream, std::conditional_t<kInPlace, uint8_t*, const uint8_t*> data,
                     size_t length, char* out) {
  char* o = out;
  size_t i = 0;
  {
    Rc4Cursor cursor(stream);
    if constexpr (std::endian::native == std::endian::little) {
      // Four groups at a time: twelve keystream bytes gathered into two
      // words, one XOR and one store each, and the sixteen characters
      // written with two stores. Stores are what the keystream loop is
      // short of; this spends about 0.1 fewer of them per byte.
      for (; i + 12 <= length; i += 12) {
        uint64_t stream0 = 0;
#pragma GCC unroll 8
        for (unsigned b = 0; b < 8; ++b) stream0 |= uint64_t{cursor.Next()} << (8 * b);
        uint32_t stream1 = 0;
#pragma GCC unroll 4
        for (unsigned b = 0; b < 4; ++b) stream1 |= uint32_t{cursor.Next()} << (8 * b);
        uint64_t word0;
        uint32_t word1;
        std::memcpy(&word0, data + i, sizeof word0);
        std::memcpy(&word1, data + i + 8, sizeof word1);
        word0 ^= stream0;
        word1 ^= stream1;
        if constexpr (kInPlace) {
          std::memcpy(data + i, &word0, sizeof word0);
          std::memcpy(data + i + 8, &word1, sizeof word1);
        }
        // The twelve bytes in reading order, then four 24-bit groups.
        const uint64_t high = __builtin_bswap64(word0);
        const uint32_t low = __builtin_bswap32(word1);
        const uint32_t g0 = static_cast<uint32_t>(high >> 40);
        const uint32_t g1 = static_cast<uint32_t>(high >> 16) & 0xFFFFFF;
        const uint32_t g2 = (static_cast<uint32_t>(high & 0xFFFF) << 8) | (low >> 24);
        const uint32_t g3 = low & 0xFFFFFF;
        const uint64_t chars0 =
            uint64_t{kPairs.pair[g0 >> 12]} | (uint64_t{kPairs.pair[g0 & 0xFFF]} << 16) |
            (uint64_t{kPairs.pair[g1 >> 12]} << 32) | (uint64_t{kPairs.pair[g1 & 0xFFF]} << 48);
        const uint64_t chars1 =
            uint64_t{kPairs.pair[g2 >> 12]} | (uint64_t{kPairs.pair[g2 & 0xFFF]} << 16) |
            (uint64_t{kPairs.pair[g3 >> 12]} << 32) | (uint64_t{kPairs.pair[g3 & 0xFFF]} << 48);
        std::memcpy(o, &chars0, sizeof chars0);
        std::memcpy(o + 8, &chars1, sizeof chars1);
        o += 16;
      }
    }
    for (; i + 3 <= length; i += 3) {
      uint32_t k0 = cursor.Next();
      uint32_t k1 = cursor.Next();
      uint32_t k2 = cursor.Next();
      uint32_t v = ((data[i] ^ k0) << 16) | ((data[i + 1] ^ k1) << 8) | (data[i + 2] ^ k2);
      if constexpr (kInPlace) {
        data[i] ^= static_cast<uint8_t>(k0);
        data[i + 1] ^= static_cast<uint8_t>(k1);
        data[i + 2] ^= static_cast<uint8_t>(k2);
      }
      uint16_t p0 = kPairs.pair[v >> 12];
      uint16_t p1 = kPairs.pair[v & 0xFFF];
      std::memcpy(o, &p0, 2);
      std::memcpy(o + 2, &p1, 2);
      o += 4;
    }
  }
  if (size_t rest = length - i; rest != 0) {
    uint8_t last[2] = {data[i], rest == 2 ? data[i + 1] : uint8_t{0}};
    stream.Apply(last, rest);
    if constexpr (kInPlace) std::memcpy(data + i, last, rest);
    uint32_t v = uint32_t{last[0]} << 16;
    if (rest == 2) v |= uint32_t{last[1]} << 8;
    o[0] = kCacheAlphabet[v >> 18];
    o[1] = kCacheAlphabet[(v >> 12) & 0x3F];
    o[2] = rest == 2 ? kCacheAlphabet[(v >> 6) & 0x3F] : '=';
    o[3] = '=';
    o += 4;
  }
  *o = '\0';
  return static_cast<size_t>(o - out);
}

// Decodes and decrypts the leading groups of four alphabet characters of
// text into out, taking keystream bytes from cursor (an Rc4Cursor or the kept
// prefix), while out has room for their three bytes; stops at the first
// group holding anything else (padding, white space, an invalid character),
// where the general decoder takes over. *consumed: characters used.
template <typename Keystream>
size_t DecodeDecryptPlainGroups(Keystream& cursor, std::string_view text, uint8_t* out, size_t room,
                                size_t* consumed) {
  const unsigned char* t = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t p = 0;
  size_t base = 0;
  while (p + 4 <= n && base + 3 <= room) {
    uint32_t v = kGroups.shifted[0][t[p]] | kGroups.shifted[1][t[p + 1]] |
                 kGroups.shifted[2][t[p + 2]] | kGroups.shifted[3][t[p + 3]];
    if (v & kNotAlphabet) break;
    out[base] = static_cast<uint8_t>((v >> 16) ^ cursor.Next());
    out[base + 1] = static_cast<uint8_t>((v >> 8) ^ cursor.Next());
    out[base + 2] = static_cast<uint8_t>(v ^ cursor.Next());
    p += 4;
    base += 3;
  }
  *consumed = p;
  return base;
}

// The kept keystream prefix read as a keystream from its start.
struct PrefixCursor {
  const uint8_t* next;
  uint8_t Next() { return *next++; }
};

// The rest of a text after its plain groups (fast bytes decoded from its
// first consumed characters) through the general decoder, whose bytes
// decipher_rest then deciphers with the keystream where the groups left it.
// Nothing of an undecodable text stays in out, not even its start.
template <typename DecipherRest>
HRESULT DecodeRest(std::string_view text, size_t consumed, size_t fast, char* out, int capacity,
                   size_t* plain_length, DecipherRest decipher_rest) {
  uint8_t* bytes = reinterpret_cast<uint8_t*>(out);
  const size_t room = static_cast<size_t>(capacity < 0 ? 0 : capacity);
  const int rest = Base64Decode(text.substr(consumed), bytes + fast,
                                static_cast<int>(room - fast), kCacheAlphabet);
  if (rest < 0) {
    if (fast != 0) std::memset(out, 0, fast);
    if (capacity > 0) out[0] = '\0';
    return kUndecodableText;
  }
  decipher_rest(bytes + fast, static_cast<size_t>(rest));
  if (plain_length != nullptr) *plain_length = fast + static_cast<size_t>(rest);
  return S_OK;
}

bool PassPhraseTooLong(const char* pass_phrase) {
  return pass_phrase != nullptr && std::strlen(pass_phrase) > kMaxPassPhraseLength;
}

HRESULT DecryptView(const char* pass_phrase, std::string_view text, char* out, int capacity,
                    size_t* plain_length) {
  if (plain_length != nullptr) *plain_length = 0;
  if (out == nullptr || PassPhraseTooLong(pass_phrase)) return E_INVALIDARG;
  if (text.empty()) return S_OK;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(out);
  const size_t room = static_cast<size_t>(capacity < 0 ? 0 : capacity);

  // The plain groups in one pass; the rest (normally the last group with its
  // padding, or everything after the first white space) through the general
  // decoder, which starts there at a group boundary exactly as it would have
  // reached it, and then through the same keystream.
  size_t consumed = 0;
  if (pass_phrase == nullptr && text.size() / 4 * 3 + 3 <= kPrefixBytes) {
    // A value whose plain text fits in the kept keystream prefix: no
    // keystream to generate.
    const HRESULT hr = PrepareBuiltInKey();
    if (FAILED(hr)) return hr;
    const uint8_t* prefix = BuiltInKey().prefix.data();
    PrefixCursor cursor{prefix};
    const size_t fast = DecodeDecryptPlainGroups(cursor, text, bytes, room, &consumed);
    return DecodeRest(text, consumed, fast, out, capacity, plain_length,
                      [prefix, fast](uint8_t* data, size_t length) {
                        for (size_t k = 0; k < length; ++k) data[k] ^= prefix[fast + k];
                      });
  }

  StreamGuard guard;
  const HRESULT hr = PrepareStream(pass_phrase, &guard.stream);
  if (FAILED(hr)) return hr;
  size_t fast = 0;
  {
    Rc4Cursor cursor(guard.stream);  // writes its indices back when it ends
    fast = DecodeDecryptPlainGroups(cursor, text, bytes, room, &consumed);
  }
  return DecodeRest(text, consumed, fast, out, capacity, plain_length,
                    [&guard](uint8_t* data, size_t length) { guard.stream.Apply(data, length); });
}

}  // namespace

platform::CryptoProvider* QrnCryptAcquireContext() {
  // The slot exists once a provider was opened; until then the fast path is
  // skipped, so no ProviderSlot is built before OpenSSL is initialised.
  static std::atomic<bool> have_slot{false};
  if (have_slot.load(std::memory_order_acquire)) {
    platform::CryptoProvider* current = Slot().provider.load(std::memory_order_acquire);
    if (current != nullptr) return current;
  }
  uint32_t error = 0;
  platform::CryptoProvider* opened = platform::OpenCryptoProvider(&error);
  if (opened == nullptr) {
    last_acquire_error.store(error);
    std::fprintf(stderr, "Error %x during CryptAcquireContext!\n", error);
    return nullptr;
  }
  ProviderSlot& slot = Slot();
  have_slot.store(true, std::memory_order_release);
  platform::CryptoProvider* expected = nullptr;
  if (slot.provider.compare_exchange_strong(expected, opened, std::memory_order_acq_rel)) {
    return opened;
  }
  // Another thread was first: keep its provider, drop ours.
  platform::CloseCryptoProvider(opened);
  return expected;
}

int Base64Encode(const uint8_t* data, size_t length, char* out, int capacity,
                 const char* alphabet) {
  if (out == nullptr || alphabet == nullptr || (data == nullptr && length != 0) || capacity < 0)
    return -1;
  // Four characters per started group of three bytes, and the terminator.
  if (length > static_cast<size_t>(INT_MAX - 4) / 4 * 3) return -1;
  size_t groups = (length + 2) / 3;
  if (groups * 4 >= static_cast<size_t>(capacity)) return -1;

  char* o = out;
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    o[0] = alphabet[v >> 18];
    o[1] = alphabet[(v >> 12) & 0x3F];
    o[2] = alphabet[(v >> 6) & 0x3F];
    o[3] = alphabet[v & 0x3F];
    o += 4;
  }
  if (size_t rest = length - i; rest != 0) {
    uint32_t v = uint32_t{data[i]} << 16;
    if (rest == 2) v |= uint32_t{data[i + 1]} << 8;
    o[0] = alphabet[v >> 18];
    o[1] = alphabet[(v >> 12) & 0x3F];
    o[2] = rest == 2 ? alphabet[(v >> 6) & 0x3F] : '=';
    o[3] = '=';
    o += 4;
  }
  *o = '\0';
  return static_cast<int>(o - out);
}

int Base64Decode(std::string_view text, uint8_t* out, int capacity, const char* alphabet) {
  if (alphabet == nullptr) return -1;
  std::array<int8_t, 256> value;
  value.fill(-1);
  for (int k = 0; k < 64 && alphabet[k] != '\0'; ++k)
    value[static_cast<unsigned char>(alphabet[k])] = static_cast<int8_t>(k);
  const size_t room = out == nullptr ? SIZE_MAX : static_cast<size_t>(capacity < 0 ? 0 : capacity);

  size_t base = 0;    // first byte of the current group
  int position = 0;   // characters of the current group seen
  unsigned last = 0;  // value of the last character
  size_t p = 0;
  const size_t n = text.size();
  for (; p < n; ++p) {
    // Fast path: a whole group of four alphabet characters at once.
    if (position == 0 && p + 4 <= n && base + 2 < room) {
      int v0 = value[static_cast<unsigned char>(text[p])];
      int v1 = value[static_cast<unsigned char>(text[p + 1])];
      int v2 = value[static_cast<unsigned char>(text[p + 2])];
      int v3 = value[static_cast<unsigned char>(text[p + 3])];
      if ((v0 | v1 | v2 | v3) >= 0) {
        if (out) {
          out[base] = static_cast<uint8_t>((v0 << 2) | (v1 >> 4));
          out[base + 1] = static_cast<uint8_t>((v1 << 4) | (v2 >> 2));
          out[base + 2] = static_cast<uint8_t>((v2 << 6) | v3);
        }
        base += 3;
        p += 3;
        continue;
      }
    }
    unsigned char c = static_cast<unsigned char>(text[p]);
    if (c == '=') break;
    int v = value[c];
    if (v < 0) {
      if (IsWhite(c)) continue;
      return -1;
    }
    last = static_cast<unsigned>(v);
    switch (position) {
      case 0:
        if (base >= room) return -1;
        if (out) out[base] = static_cast<uint8_t>(last << 2);
        position = 1;
        break;
      case 1:
        if (base + 1 >= room) return -1;
        if (out) {
          out[base] |= static_cast<uint8_t>(last >> 4);
          out[base + 1] = static_cast<uint8_t>((last & 0x0F) << 4);
        }
        position = 2;
        break;
      case 2:
        if (base + 2 >= room) return -1;
        if (out) {
          out[base + 1] |= static_cast<uint8_t>(last >> 2);
          out[base + 2] = static_cast<uint8_t>((last & 0x03) << 6);
        }
        position = 3;
        break;
      default:
        if (out) out[base + 2] |= static_cast<uint8_t>(last);
        base += 3;
        position = 0;
        break;
    }
  }
  if (p == n) return position == 0 ? static_cast<int>(base) : -1;

  // Padding: after two characters two "=", after three one.
  size_t decoded;
  if (position == 2) {
    if (last & 0x0F) return -1;
    ++p;
    while (p < n && IsWhite(static_cast<unsigned char>(text[p]))) ++p;
    if (p == n || text[p] != '=') return -1;
    decoded = base + 1;
  } else if (position == 3) {
    if (last & 0x03) return -1;
    decoded = base + 2;
  } else {
    return -1;
  }
  for (++p; p < n; ++p)
    if (!IsWhite(static_cast<unsigned char>(text[p]))) return -1;
  return static_cast<int>(decoded);
}

HRESULT EncryptText(const char* pass_phrase, char* plain, size_t length, char* out, int* capacity) {
  if (plain == nullptr || out == nullptr || capacity == nullptr || PassPhraseTooLong(pass_phrase))
    return E_INVALIDARG;
  if (length == 0) {
    *capacity = 0;
    return S_OK;
  }
  StreamGuard guard;
  HRESULT hr = PrepareStream(pass_phrase, &guard.stream);
  if (FAILED(hr)) return hr;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(plain);
  // The same room rule as Base64Encode: four characters per started group of
  // three bytes and the terminator. Without room the plain text is still
  // encrypted in place and the encoder's -1 comes back.
  const bool fits = *capacity >= 0 && length <= static_cast<size_t>(INT_MAX - 4) / 4 * 3 &&
                    (length + 2) / 3 * 4 < static_cast<size_t>(*capacity);
  if (!fits) {
    guard.stream.Apply(bytes, length);
    *capacity = -1;
    return S_OK;
  }
  *capacity = static_cast<int>(EncryptEncode<true>(guard.stream, bytes, length, out));
  return S_OK;
}

HRESULT EncryptTextFrom(std::string_view plain, char* out, size_t room, size_t* written) {
  if (out == nullptr || written == nullptr) return E_INVALIDARG;
  *written = 0;
  if (plain.size() > static_cast<size_t>(INT_MAX - 4) / 4 * 3 || (plain.size() + 2) / 3 * 4 >= room)
    return E_INVALIDARG;
  if (plain.empty()) {
    out[0] = '\0';
    return S_OK;
  }
  StreamGuard guard;
  const HRESULT hr = PrepareStream(nullptr, &guard.stream);
  if (FAILED(hr)) return hr;
  *written = EncryptEncode<false>(guard.stream, reinterpret_cast<const uint8_t*>(plain.data()),
                                  plain.size(), out);
  return S_OK;
}

HRESULT DecryptText(const char* pass_phrase, const char* text, char* out, int capacity,
                    size_t* plain_length) {
  if (text == nullptr) {
    if (plain_length != nullptr) *plain_length = 0;
    return E_INVALIDARG;
  }
  return DecryptView(pass_phrase, text, out, capacity, plain_length);
}

HRESULT DecryptTextView(std::string_view text, char* out, size_t capacity, size_t* plain_length) {
  const int room = capacity > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
  return DecryptView(nullptr, text, out, room, plain_length);
}

std::string EncryptString(std::string_view plain) {
  if (plain.empty()) return {};
  std::string copy(plain);
  std::string out((plain.size() + 2) / 3 * 4 + 1, '\0');
  int capacity = static_cast<int>(out.size());
  if (FAILED(EncryptText(nullptr, copy.data(), copy.size(), out.data(), &capacity)) || capacity < 0)
    return {};
  out.resize(static_cast<size_t>(capacity));
  return out;
}

bool DecryptString(std::string_view text, std::string* plain) {
  if (plain == nullptr) return false;
  plain->clear();
  if (text.size() > static_cast<size_t>(INT_MAX - 3)) return false;
  // Decoded bytes are at most 3/4 of the text; the decoder touches up to two
  // bytes beyond the last one it keeps.
  std::string out(text.size() / 4 * 3 + 3, '\0');
  size_t length = 0;
  HRESULT hr = DecryptView(nullptr, text, out.data(), static_cast<int>(out.size()), &length);
  if (FAILED(hr)) return false;
  out.resize(length);
  *plain = std::move(out);
  return true;
}

}  // namespace qrn
