// The socket transport: token frames over the host's connected socket, and
// the client and server sides of a whole conversation over them.
#include <cstring>

#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/transport_channel.h"

bool CQRNAuthenticate::SendBytes(const uint8_t* buffer, uint32_t length) {
  qrn::SocketChannel channel(socket);
  return channel.Send(buffer, length);
}

bool CQRNAuthenticate::SendMsg(const uint8_t* buffer, uint32_t length) {
  qrn::SocketChannel channel(socket);
  return qrn::SendFrame(channel, buffer, length);
}

bool CQRNAuthenticate::ReceiveBytes(uint8_t* buffer, uint32_t length, uint32_t* received) {
  qrn::SocketChannel channel(socket);
  return qrn::ReceiveBytes(channel, buffer, length, received);
}

bool CQRNAuthenticate::ReceiveMsg(uint8_t* buffer, uint32_t capacity, uint32_t* received) {
  qrn::SocketChannel channel(socket);
  return qrn::ReceiveFrame(channel, buffer, capacity, received);
}

bool CQRNAuthenticate::SocketAuthenticationClient(uint32_t handle) {
  try {
    if (securityFunctions == nullptr || inToken == nullptr) return false;
    socket = static_cast<int32_t>(handle);
    if (!GenClientContext() || !SendMsg(outToken, outTokenLength)) return false;
    bool ok = true;
    while (ok && !done) {
      ok = ReceiveMsg(inToken, tokenBufferSize, &inTokenLength);
      if (ok) {
        outTokenLength = tokenBufferSize;
        ok = GenClientContext() && SendMsg(outToken, outTokenLength);
      }
    }
    WriteLog(ok);
    return ok;
  } catch (...) {
    return false;
  }
}

bool CQRNAuthenticate::SocketAuthenticationServer(uint32_t handle) {
  try {
    if (securityFunctions == nullptr || inToken == nullptr) return false;
    socket = static_cast<int32_t>(handle);
    serverSeq.newConversation = 1;
    if (!ReceiveMsg(inToken, tokenBufferSize, &inTokenLength)) return false;
    for (;;) {
      outTokenLength = tokenBufferSize;
      // The server step reads outToken and writes its answer into inToken.
      std::memcpy(outToken, inToken, inTokenLength);
      if (!GenServerContext()) return false;
      std::memcpy(outToken, inToken, outTokenLength);
      if (!SendMsg(outToken, outTokenLength)) return false;
      if (done) return true;
      if (!ReceiveMsg(inToken, tokenBufferSize, &inTokenLength)) return false;
    }
  } catch (...) {
    return false;
  }
}
