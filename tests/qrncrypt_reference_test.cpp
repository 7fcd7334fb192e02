// The one-pass text codec (keystream and base64 interleaved, plain groups
// decoded in bulk) against a plain two-step reference: a byte-at-a-time RC4
// and a six-bits-at-a-time base64, with the general decoder for the rules on
// white space, padding and capacity.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "security/common/qrncrypt.h"

namespace qrn {
namespace {

std::array<uint8_t, 16> ReferenceKey(const char* phrase) {
  uint32_t error = 0;
  platform::Md5Hash hash;
  std::array<uint8_t, platform::kMd5DigestSize> digest{};
  EXPECT_TRUE(hash.Create(QrnCryptAcquireContext(), &error));
  EXPECT_TRUE(hash.Update(phrase, std::strlen(phrase), &error));
  EXPECT_TRUE(hash.Finish(digest.data(), &error));
  std::array<uint8_t, 16> key{};
  std::memcpy(key.data(), digest.data(), 5);
  return key;
}

void ReferenceRc4(const std::array<uint8_t, 16>& key, std::string* data) {
  uint8_t s[256];
  for (int k = 0; k < 256; ++k) s[k] = static_cast<uint8_t>(k);
  uint8_t j = 0;
  for (int k = 0; k < 256; ++k) {
    j = static_cast<uint8_t>(j + s[k] + key[k % 16]);
    std::swap(s[k], s[j]);
  }
  uint8_t x = 0;
  uint8_t y = 0;
  for (char& c : *data) {
    x = static_cast<uint8_t>(x + 1);
    y = static_cast<uint8_t>(y + s[x]);
    std::swap(s[x], s[y]);
    c = static_cast<char>(static_cast<uint8_t>(c) ^ s[static_cast<uint8_t>(s[x] + s[y])]);
  }
}

std::string ReferenceBase64(const std::string& bytes) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (unsigned char c : bytes) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += kCacheAlphabet[(bits >> count) & 0x3F];
    }
  }
  if (count > 0) out += kCacheAlphabet[(bits << (6 - count)) & 0x3F];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

std::string ReferenceEncrypt(const char* phrase, std::string plain) {
  ReferenceRc4(ReferenceKey(phrase != nullptr ? phrase : kCachePassPhrase), &plain);
  return ReferenceBase64(plain);
}

struct Decrypted {
  HRESULT status;
  std::string plain;  // the bytes reported as plain text
  char first;         // out[0] afterwards
};

Decrypted Decrypt(const char* phrase, const std::string& text, int capacity) {
  std::vector<char> out(static_cast<size_t>(capacity) + 1, 'x');
  size_t length = 0;
  HRESULT hr = DecryptText(phrase, text.c_str(), out.data(), capacity, &length);
  return {hr, std::string(out.data(), length), out[0]};
}

// The reference result: the general decoder over the whole text, then RC4.
Decrypted ReferenceDecrypt(const char* phrase, const std::string& text, int capacity) {
  std::vector<uint8_t> out(static_cast<size_t>(capacity) + 1);
  int n = Base64Decode(text, out.data(), capacity, kCacheAlphabet);
  if (n < 0) return {kUndecodableText, "", capacity > 0 ? '\0' : 'x'};
  std::string plain(out.begin(), out.begin() + n);
  ReferenceRc4(ReferenceKey(phrase != nullptr ? phrase : kCachePassPhrase), &plain);
  return {S_OK, plain, plain.empty() ? 'x' : plain[0]};
}

std::string RandomBytes(std::mt19937& random, size_t length) {
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST(TextCodec, EncryptMatchesTheReferenceForManySizes) {
  std::mt19937 random(29);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 64; ++n) lengths.push_back(n);
  for (int k = 0; k < 40; ++k) lengths.push_back(65 + random() % 4096);
  lengths.push_back(1 << 20);
  lengths.push_back((1 << 20) + 1);
  for (const char* phrase : {static_cast<const char*>(nullptr), "other"}) {
    for (size_t length : lengths) {
      std::string plain = RandomBytes(random, length);
      std::string expected = ReferenceEncrypt(phrase, plain);
      std::string copy = plain;
      std::vector<char> out(expected.size() + 1, 'x');
      int capacity = static_cast<int>(out.size());
      ASSERT_EQ(EncryptText(phrase, copy.data(), copy.size(), out.data(), &capacity), S_OK);
      ASSERT_EQ(capacity, static_cast<int>(length == 0 ? 0 : expected.size())) << length;
      if (length == 0) continue;
      ASSERT_EQ(std::string(out.data(), expected.size()), expected) << length;
      EXPECT_EQ(out[expected.size()], '\0');
      // The caller's copy holds the cipher text afterwards, as before.
      std::string cipher = plain;
      ReferenceRc4(ReferenceKey(phrase != nullptr ? phrase : kCachePassPhrase), &cipher);
      ASSERT_EQ(copy, cipher) << length;
    }
  }
}

TEST(TextCodec, DecryptMatchesTheReferenceOnCleanAndDamagedTexts) {
  std::mt19937 random(31);
  const char kNoise[] = " \t\r\n\v\f=*+_.\x80\xFF";
  int checked = 0;
  for (int round = 0; round < 1500; ++round) {
    size_t length = round < 100 ? static_cast<size_t>(round) : random() % 3000;
    std::string text = ReferenceEncrypt(nullptr, RandomBytes(random, length));
    // Most texts get damaged: white space or a wrong character somewhere
    // (early, in the middle, in the padding), or a cut.
    switch (random() % 6) {
      case 0:
        break;
      case 1:
      case 2:
      case 3: {
        int changes = 1 + static_cast<int>(random() % 3);
        for (int c = 0; c < changes; ++c) {
          size_t at = text.empty() ? 0 : random() % (text.size() + 1);
          text.insert(at, 1, kNoise[random() % (sizeof kNoise - 1)]);
        }
        break;
      }
      case 4:
        if (!text.empty()) text.resize(random() % text.size());
        break;
      default:
        if (!text.empty()) text[random() % text.size()] = kNoise[random() % (sizeof kNoise - 1)];
        break;
    }
    // Room for the whole plain text and then some, exactly enough, or short.
    int full = static_cast<int>(text.size() / 4 * 3 + 3);
    int capacity = full;
    switch (random() % 4) {
      case 0:
        capacity = static_cast<int>(length);
        break;
      case 1:
        capacity = static_cast<int>(random() % (length + 1));
        break;
      default:
        break;
    }
    Decrypted ours = Decrypt(nullptr, text, capacity);
    Decrypted reference = ReferenceDecrypt(nullptr, text, capacity);
    ASSERT_EQ(ours.status, reference.status) << "text \"" << text << "\" capacity " << capacity;
    if (SUCCEEDED(ours.status)) {
      ASSERT_EQ(ours.plain, reference.plain) << text;
    } else if (capacity > 0) {
      ASSERT_EQ(ours.first, '\0') << text;
    }
    ++checked;
  }
  EXPECT_EQ(checked, 1500);
}

TEST(TextCodec, LargeTextWithWhiteSpaceLateDecodesLikeTheReference) {
  std::mt19937 random(37);
  std::string plain = RandomBytes(random, (1 << 20) + 2);
  std::string text = ReferenceEncrypt(nullptr, plain);
  // Line breaks after most of the text: the bulk path stops there and the
  // general decoder finishes with the same keystream.
  text.insert(text.size() - 100, "\r\n");
  text.insert(text.size() - 40, " ");
  int capacity = static_cast<int>(plain.size() + 2);
  Decrypted ours = Decrypt(nullptr, text, capacity);
  ASSERT_EQ(ours.status, S_OK);
  EXPECT_TRUE(ours.plain == plain);
  // A caller's pass phrase goes through the same path.
  text = ReferenceEncrypt("other", plain);
  ours = Decrypt("other", text, capacity);
  ASSERT_EQ(ours.status, S_OK);
  EXPECT_TRUE(ours.plain == plain);
}

// Short values are decrypted with a kept copy of the keystream's first
// 64 KiB, longer ones by running the keystream: both sides of that line,
// clean and with white space or a damaged character, agree with the
// reference.
TEST(TextCodec, ValuesAroundTheKeptKeystreamDecodeLikeTheReference) {
  std::mt19937 random(41);
  for (size_t base : {size_t{49140}, size_t{65520}, size_t{87360}}) {
    for (size_t length = base; length < base + 40; length += 1 + random() % 3) {
      const std::string plain = RandomBytes(random, length);
      const std::string clean = ReferenceEncrypt(nullptr, plain);
      std::string spaced = clean;
      spaced.insert(random() % spaced.size(), "\r\n");
      std::string damaged = clean;
      damaged[random() % damaged.size()] = '*';
      for (const std::string& text : {clean, spaced, damaged}) {
        const int full = static_cast<int>(text.size() / 4 * 3 + 3);
        for (int capacity : {full, static_cast<int>(length), static_cast<int>(length) - 1}) {
          Decrypted ours = Decrypt(nullptr, text, capacity);
          Decrypted reference = ReferenceDecrypt(nullptr, text, capacity);
          ASSERT_EQ(ours.status, reference.status) << length << " " << capacity;
          if (SUCCEEDED(ours.status))
            ASSERT_TRUE(ours.plain == reference.plain) << length << " " << capacity;
          else
            ASSERT_EQ(ours.first, '\0') << length;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qrn
