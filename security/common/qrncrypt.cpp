// The cache text form: the variant base64 codec and the RC4 text cipher.
#include "security/common/qrncrypt.h"

#include <array>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/crypto.h"

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

// Which way a text goes through the cipher; names the step in failure lines.
enum class Direction { kEncrypt, kDecrypt };

bool IsWhite(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Derives the key from the pass phrase and runs RC4 over data in place.
// Prints the failing step's line and returns its status.
HRESULT CipherInPlace(const char* pass_phrase, uint8_t* data, size_t length, Direction direction) {
  platform::CryptoProvider* provider = QrnCryptAcquireContext();
  if (provider == nullptr) return HRESULT_FROM_WIN32(last_acquire_error.load());
  const char* phrase = pass_phrase != nullptr ? pass_phrase : kCachePassPhrase;

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
  bool ok = platform::Rc4Apply(key.data(), key.size(), data, length, &error);
  key.fill(0);
  if (!ok) {
    if (direction == Direction::kEncrypt) {
      std::printf("bytes required:%d\n", static_cast<int>(length));
      std::printf("Error %x during CryptEncrypt!\n", error);
    } else {
      std::printf("Error %x during CryptDecrypt!\n", error);
    }
    return HRESULT_FROM_WIN32(error);
  }
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
  int decoded = Base64Decode(text, bytes, capacity, kCacheAlphabet);
  if (decoded < 0) {
    if (capacity > 0) out[0] = '\0';
    return kUndecodableText;
  }
  HRESULT hr = CipherInPlace(pass_phrase, bytes, static_cast<size_t>(decoded), Direction::kDecrypt);
  if (SUCCEEDED(hr) && plain_length != nullptr) *plain_length = static_cast<size_t>(decoded);
  return hr;
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
  uint8_t* bytes = reinterpret_cast<uint8_t*>(plain);
  HRESULT hr = CipherInPlace(pass_phrase, bytes, length, Direction::kEncrypt);
  if (FAILED(hr)) return hr;
  *capacity = Base64Encode(bytes, length, out, *capacity, kCacheAlphabet);
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
