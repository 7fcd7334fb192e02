// ImpersonateContext and RevertContext: the calling thread acts as the
// client of the object's server context, and goes back.
#include "platform/sspi.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/provider_steps.h"

using qrn::handshake::ToProvider;

bool CQRNAuthenticate::ImpersonateContext() {
  try {
    if (securityFunctions == nullptr || !serverSeq.haveContext ||
        securityFunctions->ImpersonateSecurityContext == nullptr)
      return false;
    qrn::platform::SecHandle context = ToProvider(serverSeq.context);
    return securityFunctions->ImpersonateSecurityContext(&context) == qrn::platform::SEC_E_OK;
  } catch (...) {
    return false;
  }
}

bool CQRNAuthenticate::RevertContext() {
  try {
    if (securityFunctions == nullptr || !serverSeq.haveContext ||
        securityFunctions->RevertSecurityContext == nullptr)
      return false;
    qrn::platform::SecHandle context = ToProvider(serverSeq.context);
    return securityFunctions->RevertSecurityContext(&context) == qrn::platform::SEC_E_OK;
  } catch (...) {
    return false;
  }
}
