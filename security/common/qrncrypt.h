// The cache text form: RC4 with a 40-bit key derived from the MD5 digest of a
// pass phrase, written in base64 with "-" in place of "+". Used for the cache
// files and for the encrypted values inside the role and ACL documents.
#pragma once

#include <string>
#include <string_view>

namespace qrn {

// The variant alphabet, the only one the library passes.
constexpr char kCacheAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-/";

// Convenience forms over EncryptText/DecryptText with the built-in pass
// phrase, for the server, the CLI and tests. DecryptString is false when the
// text is not valid base64 of the variant alphabet.
std::string EncryptString(std::string_view plain);
bool DecryptString(std::string_view text, std::string* plain);

}  // namespace qrn
