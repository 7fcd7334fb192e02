// The HTTP transport's response-head reader: receives into an 8192-byte
// buffer and takes the head apart line by line (CR LF), a line cut at the
// end of one receive being completed by the next.
#pragma once

#include <cstdint>
#include <string>

#include "security/common/qrnauthenticate/transport_channel.h"

namespace qrn {

constexpr uint32_t kResponseBufferSize = 8192;

struct ResponseHead {
  enum class Outcome {
    kComplete,  // the empty line arrived
    kBroken,    // a receive returned 0 or failed before it
    kTooLarge,  // the head (or one of its lines) exceeds 8192 bytes
  };
  Outcome outcome = Outcome::kBroken;
  // The number after the first word of the first line (0 when none).
  uint32_t status = 0;
  // The rest of the last "WWW-Authenticate:" line after the header name and
  // the scheme (blanks skipped); absent when no such line came.
  bool haveChallenge = false;
  std::string challenge;
  // "Content-Length:" when present (the last one counts).
  bool haveContentLength = false;
  uint64_t contentLength = 0;
  // Body bytes that arrived with the head.
  uint32_t bodyBytes = 0;
};

// Reads one response head from the channel.
ResponseHead ReadResponseHead(ByteChannel& channel);

}  // namespace qrn
