// SetWkzUser and RevertToOSUser: a COM proxy calls out as the saved identity
// or as the process's own user, through its IClientSecurity::SetBlanket.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qrnauth/com.h"
#include "qrnauth/proxy_security.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/identity_block.h"

namespace {

constexpr uint32_t kOsUserMark = 1;

// An explicit identity handed to a proxy. A proxy may keep the pointer for
// as long as it lives, so these are never freed; one is kept per distinct
// identity, so repeated calls do not grow the process.
struct HeldIdentity {
  std::string user;
  std::string domain;
  std::string password;
  COAUTHIDENTITY identity{};
};

COAUTHIDENTITY* HoldIdentity(const qrn::SavedIdentity& saved) {
  static std::mutex mutex;
  static auto* held = new std::vector<std::unique_ptr<HeldIdentity>>();
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& h : *held) {
    if (h->user == saved.user && h->domain == saved.domain && h->password == saved.password)
      return &h->identity;
  }
  auto h = std::make_unique<HeldIdentity>();
  h->user = saved.user;
  h->domain = saved.domain;
  h->password = saved.password;
  h->identity.User = reinterpret_cast<unsigned char*>(h->user.data());
  h->identity.UserLength = static_cast<uint32_t>(h->user.size());
  h->identity.Domain = reinterpret_cast<unsigned char*>(h->domain.data());
  h->identity.DomainLength = static_cast<uint32_t>(h->domain.size());
  h->identity.Password = reinterpret_cast<unsigned char*>(h->password.data());
  h->identity.PasswordLength = static_cast<uint32_t>(h->password.size());
  h->identity.Flags = QRN_AUTH_IDENTITY_ANSI;
  held->push_back(std::move(h));
  return &held->back()->identity;
}

HRESULT SetProxyBlanket(IUnknown* proxy, DWORD authn_level, DWORD imp_level, void* identity) {
  IClientSecurity* security = nullptr;
  HRESULT hr = proxy->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&security));
  if (FAILED(hr)) return hr;
  if (security == nullptr) return E_NOINTERFACE;
  hr = security->SetBlanket(proxy, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, authn_level,
                            imp_level, identity, 0);
  security->Release();
  return hr;
}

}  // namespace

HRESULT CQRNAuthenticate::SetWkzUser(IUnknown* proxy, DWORD authn_level, DWORD imp_level) {
  try {
    if (proxy == nullptr) return E_INVALIDARG;
    void* identity = nullptr;
    if (ReadIdentity()) {
      const qrn::SavedIdentity saved = qrn::ReadIdentityBlock();
      if (saved.os_user_mark != kOsUserMark && !saved.user.empty() && !saved.domain.empty())
        identity = HoldIdentity(saved);
    }
    return SetProxyBlanket(proxy, authn_level, imp_level, identity);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CQRNAuthenticate::RevertToOSUser(IUnknown* proxy, DWORD authn_level, DWORD imp_level) {
  try {
    if (proxy == nullptr) return E_INVALIDARG;
    return SetProxyBlanket(proxy, authn_level, imp_level, nullptr);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}
