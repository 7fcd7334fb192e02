// The smallest host of the library: it includes only the public header and
// proves that the installed package links and answers.
//   - SetSecurityServer with a wrong key is refused (E_INVALIDARG);
//   - the authorization trail is empty (VT_EMPTY) in a fresh process.
// Exits 0 when both hold.
#include <qrnauth/qrnauth.h>

#include <cstdio>

int main() {
  HRESULT hr = SetSecurityServer(u"{not the key}", u"http://127.0.0.1:8080/mvt/security.aspx");
  if (hr != E_INVALIDARG) {
    std::fprintf(stderr, "SetSecurityServer with a wrong key: 0x%08X, expected E_INVALIDARG\n",
                 static_cast<unsigned>(hr));
    return 1;
  }
  const VARIANT* trail = CQRNAuthorize::GetLastMvtErrors();
  if (!trail || trail->vt != VT_EMPTY) {
    std::fprintf(stderr, "the authorization trail of a fresh process is not empty\n");
    return 1;
  }
  std::printf("qrnauth host: ok\n");
  return 0;
}
