// MD5 through EVP with the implementation fetched once from the default
// provider. (RC4 is not taken from here: OpenSSL 3 keeps EVP's RC4 in the
// "legacy" provider, and loading it would change the library context that the
// host shares with us; the text codec runs its own keystream instead.)
#include "platform/crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace qrn::platform {

namespace {

// OpenSSL's most recent error code, or a fixed non-zero number when it
// recorded none, so that a failure is never mistaken for success.
uint32_t LastError() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  uint32_t value = static_cast<uint32_t>(code);
  return value != 0 ? value : 0x8009000Fu;  // "internal error"
}

}  // namespace

class CryptoProvider {
 public:
  explicit CryptoProvider(EVP_MD* md5) : md5_(md5) {}
  ~CryptoProvider() { EVP_MD_free(md5_); }
  const EVP_MD* md5() const { return md5_; }

 private:
  EVP_MD* md5_;
};

CryptoProvider* OpenCryptoProvider(uint32_t* error) {
  EVP_MD* md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  if (md5 == nullptr) {
    *error = LastError();
    return nullptr;
  }
  return new CryptoProvider(md5);
}

void CloseCryptoProvider(CryptoProvider* provider) { delete provider; }

Md5Hash::~Md5Hash() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_)); }

bool Md5Hash::Create(CryptoProvider* provider, uint32_t* error) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr || provider == nullptr ||
      EVP_DigestInit_ex(context, provider->md5(), nullptr) != 1) {
    EVP_MD_CTX_free(context);
    *error = LastError();
    return false;
  }
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
  context_ = context;
  return true;
}

bool Md5Hash::Update(const void* data, size_t length, uint32_t* error) {
  if (context_ == nullptr ||
      EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data, length) != 1) {
    *error = LastError();
    return false;
  }
  return true;
}

bool Md5Hash::Finish(uint8_t* digest, uint32_t* error) {
  unsigned int size = 0;
  if (context_ == nullptr ||
      EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest, &size) != 1 ||
      size != kMd5DigestSize) {
    *error = LastError();
    return false;
  }
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
  context_ = nullptr;
  return true;
}

}  // namespace qrn::platform
