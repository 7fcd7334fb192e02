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
};
