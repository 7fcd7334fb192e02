// Minimal in-process COM: GUIDs, IUnknown with reference counting, and a
// process-wide class registry that maps a class id to a factory.
//
// The library registers its own components (the XML component) when it is
// loaded; hosts may register further ones (for example NovellUserInfo) with
// QrnRegisterClass. CoCreateInstance of a class that nobody registered fails
// with REGDB_E_CLASSNOTREG ("class not registered").
#pragma once

#include <cstdint>

#include "qrnauth/export.h"
#include "qrnauth/oleauto.h"

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// The root interface. Objects delete themselves when the last reference goes.
struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Proxy security, set by hosts' proxies through SetBlanket.
struct IClientSecurity : IUnknown {
  virtual HRESULT SetBlanket(IUnknown* proxy, DWORD authn_service, DWORD authz_service,
                             OLECHAR* server_principal, DWORD authn_level, DWORD imp_level,
                             void* auth_info, DWORD capabilities) = 0;

 protected:
  ~IClientSecurity() = default;
};

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_ALL = 0x17;

extern "C" {
QRNAUTH_API extern const IID IID_IUnknown;
QRNAUTH_API extern const IID IID_IClientSecurity;

// Creates an instance of the class and returns the interface riid of it.
typedef HRESULT (*QrnClassFactory)(REFIID riid, void** object);

// Registers (or replaces) the factory of a class. Passing a null factory
// removes the class again.
QRNAUTH_API HRESULT QrnRegisterClass(REFCLSID clsid, QrnClassFactory factory);

// REGDB_E_CLASSNOTREG when the class is not registered, CLASS_E_NOAGGREGATION
// when outer is not null, else what the factory answers.
QRNAUTH_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                                     void** object);

// Text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters).
QRNAUTH_API HRESULT CLSIDFromString(const OLECHAR* text, CLSID* clsid);
// Writes the 38-character text and its terminator; returns the characters
// written including the terminator, or 0 when max_chars is too small.
QRNAUTH_API int StringFromGUID2(REFGUID guid, OLECHAR* text, int max_chars);
}
