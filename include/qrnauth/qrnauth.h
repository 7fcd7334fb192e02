// QRNAuth: the client-side security library of the MVT application framework.
//
// Hosts include this header and link with -lqrnauth (pkg-config qrnauth, or
// find_package(QRNAuth) and QRNAuth::qrnauth).
//
//   CQRNAuthenticate  proves who a user is (NTLM)
//   CQRNAuthorize     decides what the user may do (roles and ACLs of the MVT
//                     security server, cached on disk)
//   SetSecurityServer points the whole process at a security server
#pragma once

#include "qrnauth/com.h"
#include "qrnauth/export.h"
#include "qrnauth/oleauto.h"
#include "qrnauth/qrnauthenticate.h"
#include "qrnauth/qrnauthorize.h"

// Sets the security server URL of the whole process, in memory only. The key
// must be exactly "{7C2E5B14-3A9D-4F61-8B07-5D9E2A6C41F3}" (letter case
// counts): E_INVALIDARG otherwise, and nothing changes. E_FAIL when the URL is
// null or longer than 259 bytes in UTF-8; the previous URL then stays in force.
// S_OK: every later request of the process goes to url, and the registry's
// "URL" is no longer read. E_UNEXPECTED on any internal failure.
extern "C" QRNAUTH_API HRESULT SetSecurityServer(const OLECHAR* key, const OLECHAR* url);
