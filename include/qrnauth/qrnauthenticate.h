// CQRNAuthenticate: proves who a user is with NTLM, in-process or against a
// peer, and keeps the last authenticated identity. Texts are UTF-8.
#pragma once

#include "qrnauth/export.h"
#include "qrnauth/oleauto.h"

class QRNAUTH_API CQRNAuthenticate {
 public:
  // ---- error trail ----------------------------------------------------------
  // The authentication trail of the process: the same pointer for every
  // object and every call. Read or copy it; never clear it.
  static VARIANT* GetLastMvtErrors();

  // ---- current user -----------------------------------------------------------
  // The operating-system user of the calling thread (its effective uid, so a
  // thread that impersonates a client gets that client). domain and user are
  // buffers of 256 bytes each. The domain is the part before the separator of
  // a domain account's name ("SALES\bob" gives SALES and bob); a local
  // account's domain is this computer's name. On a Novell client (machine
  // value "NovellClient" = 1) both come from the registered NovellUserInfo
  // component (qrnauth/novell.h). True only when both texts are non-empty;
  // only then are the buffers written (each text cut to 255 bytes at a
  // character boundary, NUL-terminated). Null buffers give false.
  static bool GetCurrentUserInfo(char* domain, char* user);
  // Clears both 256-byte buffers, then calls GetCurrentUserInfo: S_OK when it
  // succeeds, else E_FAIL (the buffers then stay cleared).
  static HRESULT GetCurrentContext(char* domain, char* user);
};
