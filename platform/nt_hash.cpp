#include "platform/nt_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <string>

#include "platform/text.h"

namespace qrn::platform {
namespace {

// MD4 lives in OpenSSL's legacy provider. It is loaded once, into a library
// context of our own, so the host's default context and configuration stay
// as they are. Never released: hashing may happen in static destructors.
const EVP_MD* Md4() {
  static const EVP_MD* md = [] {
    OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
    if (context == nullptr) return static_cast<EVP_MD*>(nullptr);
    if (OSSL_PROVIDER_load(context, "legacy") == nullptr) return static_cast<EVP_MD*>(nullptr);
    return EVP_MD_fetch(context, "MD4", nullptr);
  }();
  return md;
}

}  // namespace

bool ComputeNtHash(std::string_view password, uint8_t (&hash)[kNtHashSize]) {
  const EVP_MD* md = Md4();
  if (md == nullptr) return false;
  std::u16string wide;
  if (!Utf8ToUtf16Strict(password, &wide)) return false;
  std::string bytes;
  bytes.reserve(wide.size() * 2);
  for (char16_t unit : wide) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  unsigned int size = 0;
  bool ok =
      EVP_Digest(bytes.data(), bytes.size(), hash, &size, md, nullptr) == 1 && size == kNtHashSize;
  if (!wide.empty()) OPENSSL_cleanse(wide.data(), wide.size() * sizeof(char16_t));
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  return ok;
}

}  // namespace qrn::platform
