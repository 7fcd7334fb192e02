// The cache text form: RC4 with a 40-bit key derived from the MD5 digest of a
// pass phrase, written in base64 with "-" in place of "+". Used for the cache
// files and for the encrypted values inside the role and ACL documents.
//
// Key: the first 5 bytes of MD5(pass phrase) followed by 11 zero bytes, a
// 16-byte RC4 key; every text is ciphered with the keystream from its start.
// The cipher text has the plain text's length; nothing else is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qrnauth/oleauto.h"

namespace qrn::platform {
class CryptoProvider;
}

namespace qrn {

// The variant alphabet, the only one the library passes.
constexpr char kCacheAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-/";

// The built-in pass phrase; a caller's replacement has at most this length.
constexpr char kCachePassPhrase[] = "h#ku5.3yteo27dmglqczrs;a";
constexpr size_t kMaxPassPhraseLength = sizeof kCachePassPhrase - 1;

// Status of a decode failure in DecryptText (ERROR_INVALID_DATA).
constexpr HRESULT kUndecodableText = static_cast<HRESULT>(0x8007000D);

// The process-wide provider, opened on first use and kept until the library
// is unloaded; null when it cannot be opened (then "Error %x during
// CryptAcquireContext!" goes to standard error). Safe to call from several
// threads at once.
platform::CryptoProvider* QrnCryptAcquireContext();

// Writes the base64 text of data[0, length) and a terminator into out.
// Returns the characters written (without the terminator), or -1 when a group
// of four characters would end beyond capacity or no room is left for the
// terminator. alphabet: 64 characters.
int Base64Encode(const uint8_t* data, size_t length, char* out, int capacity, const char* alphabet);

// Decodes text into out and returns the bytes decoded, or -1 for malformed
// text or too small a capacity. White space is skipped anywhere; "=" pads a
// group after two characters (two of them) or three (one); only white space
// may follow the padding; the unused bits of the last character must be zero;
// a group cut short without padding is an error. The second and third
// character of a group write two bytes and need room for both. A null out
// only validates (capacity is then not checked).
int Base64Decode(std::string_view text, uint8_t* out, int capacity, const char* alphabet);

// Encrypts plain[0, length) in place (the caller passes a copy), encodes it
// into out and stores the encoder's result (characters written, or -1) in
// *capacity, whose value on entry is the room in out. pass_phrase: null for
// the built-in one, else at most kMaxPassPhraseLength characters.
//   E_INVALIDARG  null plain, out or capacity, or too long a pass phrase
//   S_OK          also for empty plain (*capacity = 0, nothing written) and
//                 when the encoder returned -1
//   0x8007xxxx    no provider, or a failing step (its line printed on
//                 standard output: "Error %x during CryptHashData!" ...)
HRESULT EncryptText(const char* pass_phrase, char* plain, size_t length, char* out, int* capacity);

// EncryptText with the built-in pass phrase that leaves plain as it is:
// encodes the cipher text of plain into out (room characters, which must
// hold the base64 text and its terminator) and stores the characters written
// (without the terminator) in *written. The text is the same as EncryptText
// gives for a copy of plain.
//   E_INVALIDARG  null out or written, or too little room (nothing written)
//   S_OK          also for empty plain (*written = 0, out[0] = 0)
//   0x8007xxxx    no provider or a failing step, as in EncryptText
HRESULT EncryptTextFrom(std::string_view plain, char* out, size_t room, size_t* written);

// Decodes the terminated text into out (at most capacity bytes) and decrypts
// it there. The plain text's length goes to *plain_length when that is not
// null; callers that read the result as terminated text pass a zero-filled out
// larger than the plain text.
//   E_INVALIDARG      null text or out, or too long a pass phrase
//   S_OK              also for empty text (nothing written)
//   kUndecodableText  the text is not valid base64 or out is too small; out
//                     is then emptied (out[0] = 0)
//   0x8007xxxx        no provider or a failing step, as in EncryptText
HRESULT DecryptText(const char* pass_phrase, const char* text, char* out, int capacity,
                    size_t* plain_length = nullptr);

// DecryptText with the built-in pass phrase over text[0, size()) (which
// holds no NUL), for callers that hold the text without a terminator; the
// plain text's length goes to *plain_length.
HRESULT DecryptTextView(std::string_view text, char* out, size_t capacity, size_t* plain_length);

// Convenience forms over EncryptText/DecryptText with the built-in pass
// phrase, for the server, the CLI and tests. DecryptString is false when the
// text is not valid base64 of the variant alphabet.
std::string EncryptString(std::string_view plain);
bool DecryptString(std::string_view text, std::string* plain);

}  // namespace qrn
