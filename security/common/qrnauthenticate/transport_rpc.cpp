// The RPC transport: one client or server step per call on the host's
// buffers, server conversations in host-owned _AUTH_SEQ records, their
// impersonation, and the client names of completed conversations.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#include "frame/trail.h"
#include "platform/sspi.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/auth_credentials.h"
#include "security/common/qrnauthenticate/provider_steps.h"

namespace {

using namespace qrn::platform;

using qrn::handshake::AsksForMore;
using qrn::handshake::FromProvider;
using qrn::handshake::IsComplete;
using qrn::handshake::ToProvider;

void ReportRpcAcceptFailure(SECURITY_STATUS status) {
  qrn::handshake::ReportAcceptFailure(status, "RpcAuthenticationServer", {766, 770, 775, 780});
}

// "DOMAIN\user" of a completed inbound context into two 256-byte buffers.
bool ClientNames(SecurityFunctionTableA* table, const _AUTH_SEQ& seq, char* domain, char* user) {
  if (table == nullptr || table->QueryContextAttributesA == nullptr || !seq.haveContext ||
      domain == nullptr || user == nullptr) {
    return false;
  }
  SecHandle h = ToProvider(seq.context);
  SecPkgContext_NamesA names{};
  if (table->QueryContextAttributesA(&h, SECPKG_ATTR_NAMES, &names) != SEC_E_OK ||
      names.sUserName == nullptr) {
    return false;
  }
  std::string_view name = names.sUserName;
  size_t slash = name.find('\\');
  std::string_view d = slash == std::string_view::npos ? std::string_view() : name.substr(0, slash);
  std::string_view u = slash == std::string_view::npos ? name : name.substr(slash + 1);
  bool fits = d.size() < qrn::kCredentialTextSize && u.size() < qrn::kCredentialTextSize;
  if (fits) {
    std::memcpy(domain, d.data(), d.size());
    domain[d.size()] = '\0';
    std::memcpy(user, u.data(), u.size());
    user[u.size()] = '\0';
  }
  if (table->FreeContextBuffer != nullptr) table->FreeContextBuffer(names.sUserName);
  return fits;
}

}  // namespace

bool CQRNAuthenticate::TransportClientStep(const uint8_t* input, uint32_t inputLength,
                                           uint8_t* output, uint32_t* outputLength,
                                           bool* stepDone) {
  SecurityFunctionTableA* table = securityFunctions;
  if (table == nullptr || table->InitializeSecurityContextA == nullptr || output == nullptr ||
      outputLength == nullptr || stepDone == nullptr) {
    return false;
  }
  bool fresh = clientSeq.newConversation != 0;
  // After the first step the package needs the peer's token.
  if (!fresh && (input == nullptr || inputLength == 0)) return false;
  if (fresh) {
    if (table->AcquireCredentialsHandleA == nullptr) return false;
    // The explicit identity only with both a user name and a domain; else
    // the credentials of the current logon. Another thread may refill the
    // record at any time: the step works on a copy taken under the lock.
    std::unique_lock<std::mutex> guard(qrn::AuthCredentialsLock());
    const qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
    if (record.refused) return false;
    std::optional<qrn::CredentialCopy> held;
    if (record.identity.UserLength != 0 && record.identity.DomainLength != 0) {
      held.emplace(record.domain, record.userName, record.password);
    }
    guard.unlock();
    SecHandle cred{};
    TimeStamp expiry{};
    if (table->AcquireCredentialsHandleA(nullptr, qrn::platform::kNtlmPackage, SECPKG_CRED_OUTBOUND,
                                         nullptr, held ? held->identity() : nullptr, nullptr,
                                         nullptr, &cred, &expiry) < 0) {
      return false;
    }
    qrn::handshake::ReleaseSide(table, clientSeq);
    clientSeq.credentials = FromProvider(cred);
    clientSeq.haveCredentials = true;
  }
  SecBuffer out_buffer{*outputLength, SECBUFFER_TOKEN, output};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buffer};
  SecBuffer in_buffer{inputLength, SECBUFFER_TOKEN, const_cast<uint8_t*>(input)};
  SecBufferDesc in_desc{SECBUFFER_VERSION, 1, &in_buffer};
  SecHandle cred = ToProvider(clientSeq.credentials);
  SecHandle context = ToProvider(clientSeq.context);
  uint32_t attributes = 0;
  TimeStamp expiry{};
  SECURITY_STATUS status = table->InitializeSecurityContextA(
      &cred, fresh ? nullptr : &context, qrn::platform::kNtlmPackage, 0, 0, SECURITY_NATIVE_DREP,
      fresh ? nullptr : &in_desc, 0, &context, &out_desc, &attributes, &expiry);
  if (status < 0) return false;
  clientSeq.context = FromProvider(context);
  clientSeq.haveContext = true;
  if (IsComplete(status)) {
    if (table->CompleteAuthToken == nullptr || table->CompleteAuthToken(&context, &out_desc) < 0) {
      return false;
    }
  }
  *outputLength = out_buffer.cbBuffer;
  *stepDone = !AsksForMore(status);
  clientSeq.newConversation = 0;
  return true;
}

bool CQRNAuthenticate::RpcAuthenticationClient(const uint8_t* input, uint32_t inputLength,
                                               uint8_t* output, uint32_t* outputLength,
                                               bool* done) {
  try {
    bool step_done = false;
    if (!TransportClientStep(input, inputLength, output, outputLength, &step_done)) return false;
    *done = step_done;
    return true;
  } catch (...) {
    return false;
  }
}

bool CQRNAuthenticate::RpcAuthenticationServer(_AUTH_SEQ* conversation, const uint8_t* input,
                                               uint32_t inputLength, uint8_t* output,
                                               uint32_t* outputLength, bool* done) {
  try {
    SecurityFunctionTableA* table = securityFunctions;
    if (table == nullptr || table->AcceptSecurityContext == nullptr || conversation == nullptr ||
        input == nullptr || output == nullptr || outputLength == nullptr || done == nullptr) {
      return false;
    }
    _AUTH_SEQ& seq = *conversation;
    bool fresh = seq.newConversation != 0;
    if (fresh) {
      if (table->AcquireCredentialsHandleA == nullptr) return false;
      qrn::handshake::ReleaseSide(table, seq);
      SecHandle cred{};
      TimeStamp expiry{};
      if (table->AcquireCredentialsHandleA(nullptr, qrn::platform::kNtlmPackage,
                                           SECPKG_CRED_INBOUND, nullptr, nullptr, nullptr, nullptr,
                                           &cred, &expiry) < 0) {
        return false;
      }
      seq.credentials = FromProvider(cred);
      seq.haveCredentials = true;
    }
    SecBuffer out_buffer{*outputLength, SECBUFFER_TOKEN, output};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buffer};
    SecBuffer in_buffer{inputLength, SECBUFFER_TOKEN, const_cast<uint8_t*>(input)};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 1, &in_buffer};
    SecHandle cred = ToProvider(seq.credentials);
    SecHandle context = ToProvider(seq.context);
    uint32_t attributes = 0;
    TimeStamp expiry{};
    SECURITY_STATUS status = table->AcceptSecurityContext(
        &cred, fresh ? nullptr : &context, &in_desc, 0, SECURITY_NATIVE_DREP, &context, &out_desc,
        &attributes, &expiry);
    if (status < 0) {
      ReportRpcAcceptFailure(status);
      return false;
    }
    seq.context = FromProvider(context);
    seq.haveContext = true;
    if (IsComplete(status)) {
      if (table->CompleteAuthToken == nullptr ||
          table->CompleteAuthToken(&context, &out_desc) < 0) {
        return false;
      }
    }
    *outputLength = out_buffer.cbBuffer;
    *done = !AsksForMore(status);
    seq.newConversation = 0;
    return true;
  } catch (...) {
    return false;
  }
}

bool CQRNAuthenticate::RpcImpersonateContext(_AUTH_SEQ* conversation) {
  SecurityFunctionTableA* table = securityFunctions;
  if (table == nullptr || table->ImpersonateSecurityContext == nullptr || conversation == nullptr ||
      !conversation->haveContext) {
    return false;
  }
  SecHandle h = ToProvider(conversation->context);
  return table->ImpersonateSecurityContext(&h) == SEC_E_OK;
}

bool CQRNAuthenticate::RpcRevertContext(_AUTH_SEQ* conversation) {
  SecurityFunctionTableA* table = securityFunctions;
  if (table == nullptr || table->RevertSecurityContext == nullptr || conversation == nullptr ||
      !conversation->haveContext) {
    return false;
  }
  SecHandle h = ToProvider(conversation->context);
  return table->RevertSecurityContext(&h) == SEC_E_OK;
}

bool CQRNAuthenticate::RpcReleaseConversation(_AUTH_SEQ* conversation) {
  if (conversation == nullptr) return false;
  if (securityFunctions != nullptr) qrn::handshake::ReleaseSide(securityFunctions, *conversation);
  conversation->newConversation = 1;
  conversation->haveCredentials = conversation->haveContext = false;
  return true;
}

bool CQRNAuthenticate::GetClientIdentity(char* domain, char* user) {
  try {
    return ClientNames(securityFunctions, serverSeq, domain, user);
  } catch (...) {
    return false;
  }
}

bool CQRNAuthenticate::RpcGetClientIdentity(_AUTH_SEQ* conversation, char* domain, char* user) {
  try {
    return conversation != nullptr && ClientNames(securityFunctions, *conversation, domain, user);
  } catch (...) {
    return false;
  }
}
