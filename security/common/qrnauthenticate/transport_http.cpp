// The HTTP transport: NTLM in "Authorization" and "WWW-Authenticate"
// headers of a repeated HTTP/1.0 request on the host's connected socket.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/transport_base64.h"
#include "security/common/qrnauthenticate/transport_channel.h"
#include "security/common/qrnauthenticate/transport_http_head.h"

namespace {

constexpr uint32_t kRequestBufferSize = 1024;
// A response body discarded between two requests larger than this ends the
// call: an authentication answer has no reason to be large.
constexpr uint64_t kMaxDiscardedBody = 16u << 20;
// NTLM needs two requests; a server that keeps answering without 200 (with
// a provider that keeps asking for more) cannot keep the call going.
constexpr int kMaxRequests = 8;

// Appends text to the NUL-terminated text in buffer; false when it does not
// fit (the buffer then keeps its old text).
bool Append(char* buffer, uint32_t capacity, const char* text, size_t length) {
  size_t used = std::strlen(buffer);
  if (used + length + 1 > capacity) return false;
  std::memcpy(buffer + used, text, length);
  buffer[used + length] = '\0';
  return true;
}
bool Append(char* buffer, uint32_t capacity, const char* text) {
  return Append(buffer, capacity, text, std::strlen(text));
}

// Reads and drops the rest of a response body.
bool DiscardBody(qrn::ByteChannel& channel, const qrn::ResponseHead& head) {
  std::vector<uint8_t> piece(qrn::kResponseBufferSize);
  if (head.haveContentLength) {
    if (head.contentLength > kMaxDiscardedBody) return false;
    uint64_t left = head.contentLength > head.bodyBytes ? head.contentLength - head.bodyBytes : 0;
    while (left > 0) {
      long n = channel.Receive(piece.data(), left < piece.size() ? left : piece.size());
      if (n <= 0) break;  // the next request shows whether the connection lives
      left -= static_cast<uint64_t>(n);
    }
    return true;
  }
  uint64_t total = head.bodyBytes;
  for (;;) {
    long n = channel.Receive(piece.data(), piece.size());
    if (n <= 0) return true;
    total += static_cast<uint64_t>(n);
    if (total > kMaxDiscardedBody) return false;
  }
}

}  // namespace

bool CQRNAuthenticate::AuthConverse(const char* serverToken, uint32_t* decodedLength, char* output,
                                    uint32_t outputCapacity, uint32_t* outputLength) {
  qrn::_BUFFER input, token;
  qrn::BufferInit(&input);
  qrn::BufferInit(&token);
  struct Release {
    qrn::_BUFFER* a;
    qrn::_BUFFER* b;
    ~Release() {
      qrn::BufferRelease(a);
      qrn::BufferRelease(b);
    }
  } release{&input, &token};

  uint32_t input_length = 0;
  if (serverToken != nullptr) {
    if (!qrn::TransportBase64Decode(serverToken, &input, &input_length)) return false;
    // More than a token buffer's worth is no NTLM message.
    if (input_length > maxTokenSize) return false;
  }
  if (decodedLength != nullptr) *decodedLength = input_length;
  if (!qrn::BufferResize(&token, maxTokenSize)) return false;
  uint32_t produced = maxTokenSize;
  bool step_done = false;
  if (!TransportClientStep(qrn::BufferData(&input), input_length, qrn::BufferData(&token),
                           &produced, &step_done)) {
    return false;
  }
  if (output == nullptr || outputCapacity == 0) return false;
  output[0] = '\0';
  if (produced > 0 &&
      !qrn::TransportBase64Encode(qrn::BufferData(&token), produced, output, outputCapacity)) {
    return false;
  }
  *outputLength = produced > 0 ? qrn::Base64EncodedLength(produced) : 0;
  return true;
}

bool CQRNAuthenticate::AddAuthorizationHeader(char* headers, uint32_t capacity,
                                              const char* serverToken) {
  std::vector<char> text(qrn::Base64EncodedLength(maxTokenSize) + 1);
  uint32_t length = 0;
  uint32_t decoded = 0;
  if (!AuthConverse(serverToken, &decoded, text.data(), static_cast<uint32_t>(text.size()),
                    &length)) {
    return false;
  }
  size_t used = std::strlen(headers);
  if (!Append(headers, capacity, "Authorization: ") || !Append(headers, capacity, "NTLM ") ||
      !Append(headers, capacity, text.data(), length) || !Append(headers, capacity, "\r\n")) {
    headers[used] = '\0';
    return false;
  }
  return true;
}

bool CQRNAuthenticate::HttpAuthenticationClient(uint32_t handle, const char* verb, const char* url,
                                                const char* body, uint32_t bodyLength) {
  try {
    if (securityFunctions == nullptr || verb == nullptr || url == nullptr ||
        (body == nullptr && bodyLength != 0)) {
      return false;
    }
    socket = static_cast<int32_t>(handle);
    // A conversation this object completed before (for example as a socket
    // server) must not make the first answer count as success.
    done = false;
    qrn::SocketChannel channel(socket);
    bool have_challenge = false;
    std::string challenge;
    for (int round = 0; round < kMaxRequests; ++round) {
      // Sending a request and reading its head, then discarding its body:
      // each within one transport timeout.
      channel.Restart();
      char request[kRequestBufferSize];
      int n =
          std::snprintf(request, sizeof request,
                        "%s %s HTTP/1.0\r\nUser-Agent: AuthClient\r\nAccept: */*\r\n", verb, url);
      if (n < 0 || static_cast<size_t>(n) >= sizeof request) return false;
      if (bodyLength != 0) {
        char line[40];
        std::snprintf(line, sizeof line, "Content-Length: %u\r\n", bodyLength);
        if (!Append(request, sizeof request, line)) return false;
      }
      if (!Append(request, sizeof request, "Connection: Keep-Alive\r\n") ||
          !AddAuthorizationHeader(request, sizeof request,
                                  have_challenge ? challenge.c_str() : nullptr) ||
          !Append(request, sizeof request, "\r\n")) {
        return false;
      }
      // The body follows the head at once: it must not wait on a TCP
      // connection for the acknowledgement of the head (about 40 ms).
      const uint8_t* head_bytes = reinterpret_cast<const uint8_t*>(request);
      if (!(bodyLength != 0 ? channel.SendPart(head_bytes, std::strlen(request))
                            : channel.Send(head_bytes, std::strlen(request)))) {
        return false;
      }
      if (bodyLength != 0 && !channel.Send(reinterpret_cast<const uint8_t*>(body), bodyLength)) {
        return false;
      }
      qrn::ResponseHead head = qrn::ReadResponseHead(channel);
      // A broken connection or an oversized head ends the call: nothing
      // more can be read or sent on it.
      if (head.outcome != qrn::ResponseHead::Outcome::kComplete) return false;
      if (head.status == 200) done = true;
      if (done) return true;
      if (head.haveChallenge) {
        have_challenge = true;
        challenge = head.challenge;
      }
      channel.Restart();
      if (!DiscardBody(channel, head)) return false;
    }
    return false;
  } catch (...) {
    return false;
  }
}
