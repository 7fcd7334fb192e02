// What SetWkzUser and RevertToOSUser hand to a proxy's
// IClientSecurity::SetBlanket (qrnauth/com.h): the authentication service,
// the authorization service and, for a saved named identity, the explicit
// credentials in narrow (UTF-8) form.
#pragma once

#include <cstdint>

#include "qrnauth/oleauto.h"

// Authentication service: NTLM ("WinNT").
constexpr DWORD RPC_C_AUTHN_WINNT = 10;
// Authorization service: none.
constexpr DWORD RPC_C_AUTHZ_NONE = 0;

// Flags value of a COAUTHIDENTITY whose texts are narrow.
constexpr uint32_t QRN_AUTH_IDENTITY_ANSI = 1;

// Explicit credentials. Lengths count bytes, without the terminator; every
// text is NUL-terminated too. The library keeps the record alive for the
// life of the process, so a proxy may hold the pointer as long as it lives.
struct COAUTHIDENTITY {
  unsigned char* User;
  uint32_t UserLength;
  unsigned char* Domain;
  uint32_t DomainLength;
  unsigned char* Password;
  uint32_t PasswordLength;
  uint32_t Flags;
};
