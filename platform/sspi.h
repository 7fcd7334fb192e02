// The security provider interface: the shapes of the platform's SSPI (handles,
// buffers, package information, explicit identities, status codes) and the
// function table through which the authentication engine makes every call.
//
// InitSecurityInterfaceA returns the process's table, implemented on GSSAPI
// with the NTLMSSP mechanism (sspi_gss.cpp). The engine never calls anything
// else, so another table with the same contracts can stand in for it.
//
// Texts are UTF-8. Explicit identities in narrow form (flags 1) carry UTF-8;
// the wide form (flags 2) carries UTF-16 code units.
#pragma once

#include <cstdint>

namespace qrn::platform {

using SECURITY_STATUS = int32_t;

// Two pointer-sized words; the provider gives them their meaning. A handle
// the provider did not issue (or already released) is refused with
// SEC_E_INVALID_HANDLE.
struct SecHandle {
  uintptr_t dwLower;
  uintptr_t dwUpper;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;

struct TimeStamp {
  uint32_t LowPart;
  int32_t HighPart;
};

struct SecBuffer {
  uint32_t cbBuffer;    // capacity on input, length of the data on output
  uint32_t BufferType;  // SECBUFFER_TOKEN
  void* pvBuffer;
};

struct SecBufferDesc {
  uint32_t ulVersion;  // SECBUFFER_VERSION
  uint32_t cBuffers;
  SecBuffer* pBuffers;
};

struct SecPkgInfoA {
  uint32_t fCapabilities;
  uint16_t wVersion;
  uint16_t wRPCID;
  uint32_t cbMaxToken;
  char* Name;
  char* Comment;
};

// Explicit credentials. Lengths count characters (bytes for the narrow form,
// UTF-16 code units for the wide form), without the terminator.
struct SEC_WINNT_AUTH_IDENTITY_A {
  unsigned char* User;
  uint32_t UserLength;
  unsigned char* Domain;
  uint32_t DomainLength;
  unsigned char* Password;
  uint32_t PasswordLength;
  uint32_t Flags;
};

// QueryContextAttributesA(SECPKG_ATTR_NAMES): the peer's name as
// "DOMAIN\user" (or "user"); release sUserName with FreeContextBuffer.
struct SecPkgContext_NamesA {
  char* sUserName;
};

constexpr uint32_t SEC_WINNT_AUTH_IDENTITY_ANSI = 1;
constexpr uint32_t SEC_WINNT_AUTH_IDENTITY_UNICODE = 2;

constexpr uint32_t SECPKG_CRED_INBOUND = 1;
constexpr uint32_t SECPKG_CRED_OUTBOUND = 2;
constexpr uint32_t SECURITY_NATIVE_DREP = 0x10;
constexpr uint32_t SECBUFFER_VERSION = 0;
constexpr uint32_t SECBUFFER_TOKEN = 2;
constexpr uint32_t SECPKG_ATTR_NAMES = 1;

constexpr SECURITY_STATUS SEC_E_OK = 0;
constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr SECURITY_STATUS SEC_I_COMPLETE_NEEDED = 0x00090313;
constexpr SECURITY_STATUS SEC_I_COMPLETE_AND_CONTINUE = 0x00090314;
constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = static_cast<int32_t>(0x80090300);
constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = static_cast<int32_t>(0x80090301);
constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = static_cast<int32_t>(0x80090302);
constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = static_cast<int32_t>(0x80090304);
constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = static_cast<int32_t>(0x80090305);
constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = static_cast<int32_t>(0x80090308);
constexpr SECURITY_STATUS SEC_E_LOGON_DENIED = static_cast<int32_t>(0x8009030C);
constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = static_cast<int32_t>(0x8009030D);
constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = static_cast<int32_t>(0x8009030E);
constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = static_cast<int32_t>(0x80090321);

// The package name of every call.
constexpr char kNtlmPackage[] = "NTLM";
// GSSAPI publishes no maximum token size; this bounds every NTLM message.
constexpr uint32_t kNtlmMaxToken = 2888;

struct SecurityFunctionTableA {
  uint32_t dwVersion;
  // The package information block of "NTLM"; release it with
  // FreeContextBuffer. Any other package: SEC_E_SECPKG_NOT_FOUND.
  SECURITY_STATUS (*QuerySecurityPackageInfoA)(const char* package, SecPkgInfoA** info);
  SECURITY_STATUS (*FreeContextBuffer)(void* buffer);
  // Inbound credentials take no explicit identity (the acceptor verifies
  // against the machine's account source). Outbound credentials use
  // auth_data (SEC_WINNT_AUTH_IDENTITY_A*) when given, else the current
  // logon's. A user, domain or password over 256 bytes, an identity without
  // a user name, or a password that is not UTF-8 is refused with
  // SEC_E_UNKNOWN_CREDENTIALS (never replaced by the current logon's).
  SECURITY_STATUS(*AcquireCredentialsHandleA)
  (const char* principal, const char* package, uint32_t credential_use, void* logon_id,
   void* auth_data, void* get_key_fn, void* get_key_argument, CredHandle* credential,
   TimeStamp* expiry);
  SECURITY_STATUS (*FreeCredentialsHandle)(CredHandle* credential);
  // One client step. context null starts a conversation (input ignored);
  // new_context receives the handle. A step's output token goes into the
  // first buffer of output (its cbBuffer becomes the length; 0 when none).
  // SEC_E_OK with a token: the conversation is complete on this side and the
  // token still has to reach the peer.
  SECURITY_STATUS(*InitializeSecurityContextA)
  (CredHandle* credential, CtxtHandle* context, const char* target, uint32_t context_req,
   uint32_t reserved1, uint32_t data_rep, SecBufferDesc* input, uint32_t reserved2,
   CtxtHandle* new_context, SecBufferDesc* output, uint32_t* context_attr, TimeStamp* expiry);
  // One server step; same conventions. Malformed, truncated or oversized
  // tokens (over kNtlmMaxToken bytes, or names over 255 bytes in UTF-8)
  // fail with SEC_E_INVALID_TOKEN before the mechanism parses them; wrong
  // credentials, unknown users, an anonymous AUTHENTICATE and an account
  // source that is not a regular file fail with SEC_E_LOGON_DENIED.
  SECURITY_STATUS(*AcceptSecurityContext)
  (CredHandle* credential, CtxtHandle* context, SecBufferDesc* input, uint32_t context_req,
   uint32_t data_rep, CtxtHandle* new_context, SecBufferDesc* output, uint32_t* context_attr,
   TimeStamp* expiry);
  // Null in the GSSAPI table: NTLM never asks for it.
  SECURITY_STATUS (*CompleteAuthToken)(CtxtHandle* context, SecBufferDesc* token);
  SECURITY_STATUS (*DeleteSecurityContext)(CtxtHandle* context);
  // The calling thread takes the identity of an accepted context's client.
  SECURITY_STATUS (*ImpersonateSecurityContext)(CtxtHandle* context);
  SECURITY_STATUS (*RevertSecurityContext)(CtxtHandle* context);
  SECURITY_STATUS (*QueryContextAttributesA)(CtxtHandle* context, uint32_t attribute, void* buffer);
};

// The GSSAPI table of the process (never null; the same pointer every call).
// Calls fail with SEC_E_SECPKG_NOT_FOUND when GSSAPI does not offer the NTLM
// mechanism (OID 1.3.6.1.4.1.311.2.2.10, package gss-ntlmssp).
SecurityFunctionTableA* InitSecurityInterfaceA();

}  // namespace qrn::platform
