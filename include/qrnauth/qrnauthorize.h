// CQRNAuthorize: decides what a user may do, from the roles and access control
// lists that the MVT security server publishes, kept on disk in encrypted
// cache files so that checks go on while the server is down.
//
// Calling order: construct; InitCache (either form) once; then any number of
// queries and checks; optionally RefreshCache or ClearCache; destroy. An
// object is used by one thread at a time. Texts are UTF-8; wide texts are
// UTF-16 BSTRs. No exception leaves any member.
#pragma once

#include "qrnauth/export.h"
#include "qrnauth/oleauto.h"

class QRNAUTH_API CQRNAuthorize {
 public:
  // ---- error trail ----------------------------------------------------------
  // The authorization trail of the process: the same pointer for every object
  // and every call. The VARIANT belongs to the library; read or copy it, never
  // clear it.
  static VARIANT* GetLastMvtErrors();
};
