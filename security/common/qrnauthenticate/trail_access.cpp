// The authentication trail as hosts see it.
#include "frame/trail.h"
#include "qrnauth/qrnauthenticate.h"

VARIANT* CQRNAuthenticate::GetLastMvtErrors() { return &qrn::authenticationTrail.errors; }
