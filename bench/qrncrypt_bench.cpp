// The cache text form over document-sized texts (encrypt, encode, decode,
// decrypt), beside OpenSSL's MD5 over the same bytes as a yardstick: the
// ratio of the two byte rates shows what the text form costs compared with
// hashing the data once.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "security/common/qrncrypt.h"

namespace {

std::string Document(size_t size) {
  std::mt19937 random(3);
  const char letters[] = "<>/ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 =\"";
  std::string text(size, ' ');
  for (char& c : text) c = letters[random() % (sizeof letters - 1)];
  return text;
}

void BM_EncryptDecryptText(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const std::string document = Document(size);
  std::vector<char> copy(size);
  std::vector<char> encrypted((size + 2) / 3 * 4 + 1);
  std::vector<char> plain(encrypted.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), document.data(), size);
    int capacity = static_cast<int>(encrypted.size());
    if (FAILED(qrn::EncryptText(nullptr, copy.data(), size, encrypted.data(), &capacity)) ||
        capacity < 0) {
      state.SkipWithError("EncryptText failed");
      break;
    }
    size_t length = 0;
    if (FAILED(qrn::DecryptText(nullptr, encrypted.data(), plain.data(),
                                static_cast<int>(plain.size()), &length)) ||
        length != size) {
      state.SkipWithError("DecryptText failed");
      break;
    }
    benchmark::DoNotOptimize(plain.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_EncryptDecryptText)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

void BM_OpenSslMd5(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const std::string document = Document(size);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  for (auto _ : state) {
    if (EVP_Digest(document.data(), size, digest, &digest_size, EVP_md5(), nullptr) != 1) {
      state.SkipWithError("EVP_Digest failed");
      break;
    }
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_OpenSslMd5)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
