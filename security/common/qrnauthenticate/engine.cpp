// The handshake engine: the provider, the object's state, the two token
// buffers and the single client and server steps of an NTLM conversation.
// Every provider call goes through the function table in securityFunctions.
#include <mutex>
#include <new>

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
using qrn::handshake::ReleaseSide;
using qrn::handshake::ToProvider;

void ReportAcceptFailure(SECURITY_STATUS status) {
  qrn::handshake::ReportAcceptFailure(status, "GenServerContext", {1194, 1198, 1203, 1208});
}

}  // namespace

CQRNAuthenticate::CQRNAuthenticate() : CQRNAuthenticate(InitSecurityInterfaceA()) {}

CQRNAuthenticate::CQRNAuthenticate(SecurityFunctionTableA* provider)
    : tokenBufferSize(0),
      serverSeq{},
      providerLibrary(nullptr),
      securityFunctions(nullptr),
      maxTokenSize(0),
      clientSeq{},
      inToken(nullptr),
      inTokenLength(0),
      outToken(nullptr),
      outTokenLength(0),
      done(false),
      useCurrentUser(false),
      socket(0) {
  if (!InitPackage(provider)) securityFunctions = nullptr;
  InitSession();
}

CQRNAuthenticate::~CQRNAuthenticate() {
  SecurityFunctionTableA* table = securityFunctions;
  if (table != nullptr) {
    SecHandle h;
    if (clientSeq.haveCredentials && table->FreeCredentialsHandle != nullptr) {
      h = ToProvider(clientSeq.credentials);
      table->FreeCredentialsHandle(&h);
    }
    if (serverSeq.haveCredentials && table->FreeCredentialsHandle != nullptr) {
      h = ToProvider(serverSeq.credentials);
      table->FreeCredentialsHandle(&h);
    }
    if (clientSeq.haveContext && table->DeleteSecurityContext != nullptr) {
      h = ToProvider(clientSeq.context);
      table->DeleteSecurityContext(&h);
    }
    if (serverSeq.haveContext && table->DeleteSecurityContext != nullptr) {
      h = ToProvider(serverSeq.context);
      table->DeleteSecurityContext(&h);
    }
  }
  delete[] inToken;
  delete[] outToken;
  TermPackage();
}

bool CQRNAuthenticate::InitPackage(SecurityFunctionTableA* provider) {
  // Linux has one provider for its platform class: the table handed in.
  if (qrn::PlatformClass() != qrn::kPlatformClassLinux || provider == nullptr ||
      provider->QuerySecurityPackageInfoA == nullptr) {
    return false;
  }
  securityFunctions = provider;
  SecPkgInfoA* info = nullptr;
  if (provider->QuerySecurityPackageInfoA(kNtlmPackage, &info) != SEC_E_OK || info == nullptr) {
    return false;
  }
  tokenBufferSize = info->cbMaxToken;
  maxTokenSize = info->cbMaxToken;
  if (provider->FreeContextBuffer != nullptr) provider->FreeContextBuffer(info);
  return true;
}

bool CQRNAuthenticate::InitSession() {
  clientSeq.newConversation = 1;
  clientSeq.haveCredentials = clientSeq.haveContext = false;
  serverSeq.newConversation = 1;
  serverSeq.haveCredentials = serverSeq.haveContext = false;
  if (securityFunctions != nullptr && tokenBufferSize > 0) {
    inToken = new (std::nothrow) uint8_t[tokenBufferSize];
    outToken = new (std::nothrow) uint8_t[tokenBufferSize];
  }
  if (inToken == nullptr || outToken == nullptr) {
    // Out of memory: the object is unusable, like one whose package failed.
    delete[] inToken;
    delete[] outToken;
    inToken = outToken = nullptr;
    securityFunctions = nullptr;
    tokenBufferSize = maxTokenSize = 0;
  }
  inTokenLength = outTokenLength = tokenBufferSize;
  done = false;
  socket = 0;
  useCurrentUser = false;
  return true;
}

bool CQRNAuthenticate::TermPackage() {
  providerLibrary = nullptr;
  return true;
}

bool CQRNAuthenticate::GenClientContext() {
  if (!clientSeq.newConversation) return GenClientContext(nullptr);
  // Another thread may refill the record at any time: the step works on a
  // copy taken under the lock.
  std::unique_lock<std::mutex> guard(qrn::AuthCredentialsLock());
  const qrn::AuthCredentialRecord& record = qrn::AuthCredentials();
  if (record.refused) return false;
  if (record.identity.UserLength == 0) {
    guard.unlock();
    return GenClientContext(nullptr);
  }
  qrn::CredentialCopy held(record.domain, record.userName, record.password);
  guard.unlock();
  return GenClientContext(held.identity());
}

bool CQRNAuthenticate::GenClientContext(SEC_WINNT_AUTH_IDENTITY_A* identity) {
  SecurityFunctionTableA* table = securityFunctions;
  if (table == nullptr || table->InitializeSecurityContextA == nullptr) return false;
  if (clientSeq.newConversation) {
    if (table->AcquireCredentialsHandleA == nullptr) return false;
    ReleaseSide(table, clientSeq);
    SecHandle cred{};
    TimeStamp expiry{};
    if (table->AcquireCredentialsHandleA(nullptr, kNtlmPackage, SECPKG_CRED_OUTBOUND, nullptr,
                                         identity, nullptr, nullptr, &cred, &expiry) < 0) {
      return false;
    }
    clientSeq.credentials = FromProvider(cred);
    clientSeq.haveCredentials = true;
  }
  SecBuffer out_buffer{outTokenLength, SECBUFFER_TOKEN, outToken};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buffer};
  SecBuffer in_buffer{inTokenLength, SECBUFFER_TOKEN, inToken};
  SecBufferDesc in_desc{SECBUFFER_VERSION, 1, &in_buffer};
  bool fresh = clientSeq.newConversation != 0;

  SecHandle cred = ToProvider(clientSeq.credentials);
  SecHandle context = ToProvider(clientSeq.context);
  uint32_t attributes = 0;
  TimeStamp expiry{};
  SECURITY_STATUS status = table->InitializeSecurityContextA(
      &cred, fresh ? nullptr : &context, kNtlmPackage, 0, 0, SECURITY_NATIVE_DREP,
      fresh ? nullptr : &in_desc, 0, &context, &out_desc, &attributes, &expiry);
  if (status < 0) return false;
  clientSeq.context = FromProvider(context);
  clientSeq.haveContext = true;
  if (IsComplete(status)) {
    if (table->CompleteAuthToken == nullptr || table->CompleteAuthToken(&context, &out_desc) < 0) {
      return false;
    }
  }
  outTokenLength = out_buffer.cbBuffer;
  clientSeq.newConversation = 0;
  done = !AsksForMore(status);
  return true;
}

bool CQRNAuthenticate::GenServerContext() {
  SecurityFunctionTableA* table = securityFunctions;
  if (table == nullptr || table->AcceptSecurityContext == nullptr) return false;
  if (serverSeq.newConversation) {
    if (table->AcquireCredentialsHandleA == nullptr) return false;
    ReleaseSide(table, serverSeq);
    SecHandle cred{};
    TimeStamp expiry{};
    if (table->AcquireCredentialsHandleA(nullptr, kNtlmPackage, SECPKG_CRED_INBOUND, nullptr,
                                         nullptr, nullptr, nullptr, &cred, &expiry) < 0) {
      return false;
    }
    serverSeq.credentials = FromProvider(cred);
    serverSeq.haveCredentials = true;
  }
  SecBuffer out_buffer{outTokenLength, SECBUFFER_TOKEN, inToken};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buffer};
  SecBuffer in_buffer{inTokenLength, SECBUFFER_TOKEN, outToken};
  SecBufferDesc in_desc{SECBUFFER_VERSION, 1, &in_buffer};
  bool fresh = serverSeq.newConversation != 0;

  SecHandle cred = ToProvider(serverSeq.credentials);
  SecHandle context = ToProvider(serverSeq.context);
  uint32_t attributes = 0;
  TimeStamp expiry{};
  SECURITY_STATUS status =
      table->AcceptSecurityContext(&cred, fresh ? nullptr : &context, &in_desc, 0,
                                   SECURITY_NATIVE_DREP, &context, &out_desc, &attributes, &expiry);
  if (status < 0) {
    ReportAcceptFailure(status);
    return false;
  }
  serverSeq.context = FromProvider(context);
  serverSeq.haveContext = true;
  if (IsComplete(status)) {
    if (table->CompleteAuthToken == nullptr || table->CompleteAuthToken(&context, &out_desc) < 0) {
      return false;
    }
  }
  outTokenLength = out_buffer.cbBuffer;
  serverSeq.newConversation = 0;
  done = !AsksForMore(status);
  return true;
}
