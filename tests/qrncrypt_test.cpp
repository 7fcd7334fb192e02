// The cache text form: the variant base64 codec and the RC4 text cipher.
#include "security/common/qrncrypt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_env.h"

namespace qrn {
namespace {

std::string Encode(const std::string& bytes, int capacity = 1 << 20) {
  std::string out(static_cast<size_t>(capacity), '\0');
  int n = Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out.data(),
                       capacity, kCacheAlphabet);
  if (n < 0) return "<-1>";
  EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
  return out.substr(0, static_cast<size_t>(n));
}

// Decoded bytes, or "<-1>".
std::string Decode(std::string_view text, int capacity = 1 << 16) {
  std::vector<uint8_t> out(static_cast<size_t>(capacity) + 1);  // never a null data()
  int n = Base64Decode(text, out.data(), capacity, kCacheAlphabet);
  if (n < 0) return "<-1>";
  return std::string(out.begin(), out.begin() + n);
}

TEST(Base64, EncodesWithTheVariantAlphabet) {
  EXPECT_EQ(Encode("abc"), "YWJj");
  EXPECT_EQ(Encode("\xFB"), "-w==");  // standard base64 has "+w=="
  EXPECT_EQ(Encode("ab"), "YWI=");
  EXPECT_EQ(Encode(""), "");
  EXPECT_EQ(Encode(std::string("\xFF\xFF\xFF", 3)), "////");
}

TEST(Base64, EncoderNeedsRoomForEveryGroupAndTheTerminator) {
  EXPECT_EQ(Encode("abc", 4), "<-1>");  // no room for the terminator
  EXPECT_EQ(Encode("abc", 5), "YWJj");
  EXPECT_EQ(Encode("abcd", 8), "<-1>");  // second group would end at the edge
  EXPECT_EQ(Encode("abcd", 9), "YWJjZA==");
  EXPECT_EQ(Encode("", 1), "");
  EXPECT_EQ(Encode("", 0), "<-1>");
}

TEST(Base64, DecoderPaddingAndWhiteSpaceRules) {
  EXPECT_EQ(Decode("YQ=="), "a");
  EXPECT_EQ(Decode("YQ= ="), "a");
  EXPECT_EQ(Decode("YQ==\n"), "a");
  EXPECT_EQ(Decode(" Y\tW\r\nJ j "), "abc");
  EXPECT_EQ(Decode("YWI="), "ab");
  EXPECT_EQ(Decode("-w=="), "\xFB");
  EXPECT_EQ(Decode(""), "");
  EXPECT_EQ(Decode(" \n"), "");

  EXPECT_EQ(Decode("YQ="), "<-1>");       // one "=" after two characters
  EXPECT_EQ(Decode("YR=="), "<-1>");      // trailing bits not zero
  EXPECT_EQ(Decode("YWJ="), "<-1>");      // J leaves bits beyond the two bytes
  EXPECT_EQ(Decode("YWJ"), "<-1>");       // group cut short
  EXPECT_EQ(Decode("Y==="), "<-1>");      // padding after one character
  EXPECT_EQ(Decode("YWJj="), "<-1>");     // padding after a whole group
  EXPECT_EQ(Decode("YQ==YQ=="), "<-1>");  // data after the padding
  EXPECT_EQ(Decode("YQ==x"), "<-1>");
  EXPECT_EQ(Decode("+w=="), "<-1>");  // the standard alphabet's "+"
  EXPECT_EQ(Decode("YW*j"), "<-1>");
  EXPECT_EQ(Decode(std::string_view("YW\0j", 4)), "<-1>");
}

TEST(Base64, DecoderCapacityCountsEveryByteTouched) {
  EXPECT_EQ(Decode("YWJj", 3), "abc");
  EXPECT_EQ(Decode("YWJj", 2), "<-1>");
  // "YQ==" decodes to one byte, but its second character writes two.
  EXPECT_EQ(Decode("YQ==", 1), "<-1>");
  EXPECT_EQ(Decode("YQ==", 2), "a");
  EXPECT_EQ(Decode("YWI=", 2), "<-1>");
  EXPECT_EQ(Decode("YWI=", 3), "ab");
  EXPECT_EQ(Decode("YQ==", 0), "<-1>");
  // A null output only validates.
  EXPECT_EQ(Base64Decode("YWJjZA==", nullptr, 0, kCacheAlphabet), 4);
  EXPECT_EQ(Base64Decode("YWJjZA=", nullptr, 0, kCacheAlphabet), -1);
}

TEST(Base64, RandomRoundTrips) {
  std::mt19937 random(7);
  for (int length = 0; length < 400; ++length) {
    std::string bytes(static_cast<size_t>(length), '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::string text = Encode(bytes);
    ASSERT_EQ(text.size(), static_cast<size_t>((length + 2) / 3 * 4));
    ASSERT_EQ(text.find('+'), std::string::npos);
    ASSERT_EQ(Decode(text), bytes) << length;
  }
}

// RC4 with MD5("h#ku5.3yteo27dmglqczrs;a")[0..5) + 11 zero bytes, computed
// independently of this library. Two texts in a row also show that every
// text starts the keystream afresh.
TEST(Cipher, KnownAnswers) {
  EXPECT_EQ(EncryptString("hello world"), "LqzQ-U6fFDKbk6w=");
  EXPECT_EQ(EncryptString("Administrators:7;Users:1"), "B63R/E/WECmbnrwTgmbHU35Ey0R3HEyj");
  std::string plain;
  ASSERT_TRUE(DecryptString("B63R/E/WECmbnrwTgmbHU35Ey0R3HEyj", &plain));
  EXPECT_EQ(plain, "Administrators:7;Users:1");

  // A caller's pass phrase replaces the built-in one.
  char text[] = "hello world";
  char out[64] = {};
  int capacity = sizeof out;
  ASSERT_EQ(EncryptText("other", text, std::strlen(text), out, &capacity), S_OK);
  EXPECT_STREQ(out, "bV4weSP69dLtgck=");
  EXPECT_EQ(capacity, 16);
  char back[32] = {};
  ASSERT_EQ(DecryptText("other", out, back, sizeof back), S_OK);
  EXPECT_STREQ(back, "hello world");
}

TEST(Cipher, EncryptTextStatuses) {
  char out[32] = {};
  int capacity = sizeof out;
  EXPECT_EQ(EncryptText(nullptr, nullptr, 0, out, &capacity), E_INVALIDARG);

  char empty[1] = {};
  capacity = sizeof out;
  EXPECT_EQ(EncryptText(nullptr, empty, 0, out, &capacity), S_OK);
  EXPECT_EQ(capacity, 0);

  // Too small an output: the encoder's -1 comes back with S_OK.
  char plain[] = "abcdef";
  capacity = 8;
  EXPECT_EQ(EncryptText(nullptr, plain, 6, out, &capacity), S_OK);
  EXPECT_EQ(capacity, -1);

  char phrase[] = "0123456789012345678901234";  // 25 characters
  char text[] = "abc";
  capacity = sizeof out;
  EXPECT_EQ(EncryptText(phrase, text, 3, out, &capacity), E_INVALIDARG);
  phrase[24] = '\0';
  EXPECT_EQ(EncryptText(phrase, text, 3, out, &capacity), S_OK);
}

// Encrypting from a text that stays as it is gives EncryptText's result for
// every length (whole blocks of twelve, groups of three, a tail of one or two).
TEST(Cipher, EncryptTextFromMatchesEncryptTextAndKeepsThePlainText) {
  std::mt19937 random(7);
  for (size_t length = 0; length < 80; ++length) {
    std::string plain(length, '\0');
    for (char& c : plain) c = static_cast<char>(random());
    const std::string before = plain;
    std::string copy = plain;
    std::string expected((length + 2) / 3 * 4 + 1, '#');
    int capacity = static_cast<int>(expected.size());
    ASSERT_EQ(EncryptText(nullptr, copy.data(), copy.size(), expected.data(), &capacity), S_OK);
    ASSERT_GE(capacity, 0);
    expected.resize(static_cast<size_t>(capacity));

    std::string out((length + 2) / 3 * 4 + 1, '#');
    size_t written = 99;
    ASSERT_EQ(EncryptTextFrom(plain, out.data(), out.size(), &written), S_OK) << length;
    EXPECT_EQ(out.substr(0, written), expected) << length;
    EXPECT_EQ(out[written], '\0');
    EXPECT_EQ(plain, before);
    // One character less room than the text and its terminator: nothing.
    if (length > 0) {
      EXPECT_EQ(EncryptTextFrom(plain, out.data(), out.size() - 1, &written), E_INVALIDARG);
    }
  }
  size_t written = 0;
  EXPECT_EQ(EncryptTextFrom("ab", nullptr, 10, &written), E_INVALIDARG);
}

TEST(Cipher, DecryptTextStatuses) {
  char out[16];
  EXPECT_EQ(DecryptText(nullptr, nullptr, out, sizeof out), E_INVALIDARG);
  EXPECT_EQ(DecryptText(nullptr, "", out, sizeof out), S_OK);

  // Undecodable text is a failure and leaves the output empty.
  std::memset(out, 'x', sizeof out);
  HRESULT hr = DecryptText(nullptr, "YW*j", out, sizeof out);
  EXPECT_EQ(hr, kUndecodableText);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(out[0], '\0');

  // So is too small an output.
  std::string text = EncryptString("hello world");
  EXPECT_EQ(DecryptText(nullptr, text.c_str(), out, 4), kUndecodableText);

  size_t length = 99;
  std::memset(out, 0, sizeof out);
  ASSERT_EQ(DecryptText(nullptr, text.c_str(), out, sizeof out, &length), S_OK);
  EXPECT_EQ(length, 11u);
  EXPECT_STREQ(out, "hello world");

  std::string plain = "kept";
  EXPECT_FALSE(DecryptString("not base64!", &plain));
  EXPECT_TRUE(plain.empty());
}

TEST(Cipher, RandomRoundTripsIncludingLargeTexts) {
  std::mt19937 random(11);
  std::vector<size_t> lengths = {1, 2, 3, 4, 5, 255, 256, 257, 4096, 1 << 20};
  for (size_t length : lengths) {
    std::string plain(length, '\0');
    for (char& c : plain) c = static_cast<char>(random());
    std::string text = EncryptString(plain);
    ASSERT_EQ(text.size(), (length + 2) / 3 * 4);
    std::string back;
    ASSERT_TRUE(DecryptString(text, &back)) << length;
    ASSERT_EQ(back, plain) << length;
  }
}

TEST(Provider, OneProcessWideObjectEvenWhenFirstCallsRace) {
  std::vector<platform::CryptoProvider*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = QrnCryptAcquireContext(); });
  for (std::thread& t : threads) t.join();
  std::set<platform::CryptoProvider*> distinct(seen.begin(), seen.end());
  ASSERT_EQ(distinct.size(), 1u);
  EXPECT_NE(*distinct.begin(), nullptr);
  EXPECT_EQ(QrnCryptAcquireContext(), *distinct.begin());
}

}  // namespace
}  // namespace qrn

namespace qrn {
namespace {

TEST(CryptCommands, EncryptAndDecryptOnTheCommandLine) {
  test::ProcessResult encrypted = test::RunProcess({test::CliPath(), "encrypt", "hello world"});
  EXPECT_EQ(encrypted.exit_code, 0) << encrypted.err;
  EXPECT_EQ(encrypted.out, "LqzQ-U6fFDKbk6w=\n");
  test::ProcessResult decrypted =
      test::RunProcess({test::CliPath(), "decrypt", "LqzQ-U6fFDKbk6w="});
  EXPECT_EQ(decrypted.exit_code, 0) << decrypted.err;
  EXPECT_EQ(decrypted.out, "hello world\n");
  test::ProcessResult bad = test::RunProcess({test::CliPath(), "decrypt", "LqzQ+U6f"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_NE(bad.err, "");
}

}  // namespace
}  // namespace qrn
