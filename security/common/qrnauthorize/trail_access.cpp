// The authorization trail as hosts see it.
#include "frame/trail.h"
#include "qrnauth/qrnauthorize.h"

VARIANT* CQRNAuthorize::GetLastMvtErrors() { return &qrn::authorizationTrail.errors; }
