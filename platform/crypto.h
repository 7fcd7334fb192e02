// The cryptographic primitive of the cache text form taken from OpenSSL: MD5
// (the key derivation). RC4 is the library's own (security/common/rc4_stream.h). Every failing call
// reports an error number (OpenSSL's error code, never 0) so that callers can print and pass it on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrn::platform {

constexpr size_t kMd5DigestSize = 16;

// The handle on the cryptographic library that a process keeps: the MD5
// implementation fetched once. Opening it loads no provider module and does
// not change OpenSSL's process-wide configuration.
class CryptoProvider;

// Null and *error set when OpenSSL offers no MD5.
CryptoProvider* OpenCryptoProvider(uint32_t* error);
void CloseCryptoProvider(CryptoProvider* provider);

// One MD5 computation in three steps, so callers can tell which step failed.
class Md5Hash {
 public:
  Md5Hash() = default;
  ~Md5Hash();
  Md5Hash(const Md5Hash&) = delete;
  Md5Hash& operator=(const Md5Hash&) = delete;

  bool Create(CryptoProvider* provider, uint32_t* error);
  bool Update(const void* data, size_t length, uint32_t* error);
  // Writes kMd5DigestSize bytes. The hash cannot be updated afterwards.
  bool Finish(uint8_t* digest, uint32_t* error);

 private:
  void* context_ = nullptr;  // EVP_MD_CTX
};

}  // namespace qrn::platform
