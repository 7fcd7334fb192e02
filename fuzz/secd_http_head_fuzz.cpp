// Treats the input as the bytes a client sends qrnsecd: finds each head in
// turn, as a connection does with pipelined requests, and splits it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/http_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string buffer(reinterpret_cast<const char*>(data), size);
  qrn::secd::HeadScanner scanner;
  // The first byte picks how the bytes arrive: all at once or in small pieces.
  const size_t step = size == 0 ? 1 : 1 + data[0] % 16;
  size_t fed = 0;
  std::string received;
  while (fed < buffer.size() || !received.empty()) {
    if (fed < buffer.size()) {
      received += buffer.substr(fed, step);
      fed += step;
    }
    const auto state = scanner.Scan(received);
    if (state == qrn::secd::HeadScanner::State::kMore) {
      if (fed >= buffer.size()) break;
      continue;
    }
    if (state != qrn::secd::HeadScanner::State::kComplete) break;
    qrn::secd::HttpRequest request;
    (void)qrn::secd::ParseHead(std::string_view(received).substr(0, scanner.head_size()), &request);
    received.erase(0, scanner.head_size());
    scanner.Reset();
  }
  return 0;
}
