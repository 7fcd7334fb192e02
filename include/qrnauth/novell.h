// NovellUserInfo: the outside component through which a Novell client learns
// the logged-on user and tests NDS group membership. It is not part of this
// library: a host that runs as a Novell client implements INovellUserInfo and
// registers the class with
//
//   QrnRegisterClass(CLSID_NovellUserInfo, factory);
//
// The library creates it with CoCreateInstance(CLSID_NovellUserInfo, nullptr,
// CLSCTX_ALL, ...) when the machine value "NovellClient" is 1, asking for
// IID_INovellUserInfo (or IID_IUnknown and then querying for it).
//
// Layout: a dual interface. After the three IUnknown methods come the four of
// IDispatch (slots 3 to 6; this library never calls them, they only hold the
// places and answer E_NOTIMPL unless the component overrides them), then the
// three methods the library uses, in slots 7, 8 and 9.
#pragma once

#include "qrnauth/com.h"
#include "qrnauth/export.h"
#include "qrnauth/oleauto.h"
#include "qrnauth/qrnxml.h"  // IDispatch

extern "C" {
// {5B0D3C21-7E4A-4F19-9C62-1A8E3D7B4C90}
QRNAUTH_API extern const CLSID CLSID_NovellUserInfo;
// {5B0D3C22-7E4A-4F19-9C62-1A8E3D7B4C90}
QRNAUTH_API extern const IID IID_INovellUserInfo;
}

struct INovellUserInfo : IDispatch {
  // The IDispatch slots (GetTypeInfoCount, GetTypeInfo, GetIDsOfNames,
  // Invoke); late binding is not offered through this library.
  virtual HRESULT GetTypeInfoCount(unsigned int* count) {
    (void)count;
    return E_NOTIMPL;
  }
  virtual HRESULT GetTypeInfo(unsigned int index, LCID locale, void** info) {
    (void)index, (void)locale, (void)info;
    return E_NOTIMPL;
  }
  virtual HRESULT GetIDsOfNames(REFIID riid, OLECHAR** names, unsigned int count, LCID locale,
                                LONG* ids) {
    (void)riid, (void)names, (void)count, (void)locale, (void)ids;
    return E_NOTIMPL;
  }
  virtual HRESULT Invoke(LONG id, REFIID riid, LCID locale, uint16_t flags, void* params,
                         VARIANT* result, void* exception, unsigned int* arg_error) {
    (void)id, (void)riid, (void)locale, (void)flags, (void)params, (void)result, (void)exception,
        (void)arg_error;
    return E_NOTIMPL;
  }

  // Slot 7: the logged-on Novell user name; *name is a new BSTR the caller
  // frees.
  virtual HRESULT GetUserName(BSTR* name) = 0;
  // Slot 8: the user's domain (NDS tree or context) name; a new BSTR.
  virtual HRESULT GetDomainName(BSTR* name) = 0;
  // Slot 9: whether user is a member of the NDS group; *member is
  // VARIANT_TRUE or VARIANT_FALSE.
  virtual HRESULT IsGroupMember(BSTR user, BSTR group, VARIANT_BOOL* member) = 0;

 protected:
  ~INovellUserInfo() = default;
};
