// The OLE Automation subset that hosts of the library see: HRESULT codes,
// BSTR (UTF-16 text with a length prefix), VARIANT and SAFEARRAY.
//
// Semantics follow OLE Automation:
//  - A BSTR points at UTF-16 code units preceded by a 32-bit byte count and
//    followed by a NUL code unit. A null BSTR is the empty text.
//  - SafeArrayCreate takes the bounds in "creation order"; the array stores
//    them reversed in rgsabound (rgsabound[cDims-1] is the first creation
//    dimension). Index vectors passed to SafeArrayPutElement/GetElement are in
//    creation order, and the first index varies fastest in memory.
//    SafeArrayGetLBound/GetUBound take a 1-based dimension in creation order.
//  - VariantClear frees what the VARIANT owns (BSTR, array, interface) and
//    leaves it VT_EMPTY; VariantCopy makes a deep copy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qrnauth/export.h"

typedef int32_t HRESULT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint16_t USHORT;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef char16_t OLECHAR;
typedef OLECHAR* BSTR;
typedef uint32_t LCID;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008);
constexpr HRESULT DISP_E_ARRAYISLOCKED = static_cast<HRESULT>(0x8002000D);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
// A Win32 error code as an HRESULT (0x8007xxxx); 0 stays 0.
constexpr HRESULT HRESULT_FROM_WIN32(uint32_t code) {
  return code == 0 ? 0 : static_cast<HRESULT>((code & 0xFFFFu) | 0x80070000u);
}

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

struct IUnknown;

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];  // cDims entries, last creation dimension first
};

struct VARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int64_t llVal;
    LONG lVal;
    uint8_t bVal;
    int16_t iVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    BSTR bstrVal;
    IUnknown* punkVal;
    SAFEARRAY* parray;
    VARIANT* pvarVal;
    void* byref;
    int8_t cVal;
    uint16_t uiVal;
    ULONG ulVal;
    uint64_t ullVal;
    int32_t intVal;
    uint32_t uintVal;
  };
};
typedef VARIANT VARIANTARG;

// VarBstrCmp results.
constexpr HRESULT VARCMP_LT = 0;
constexpr HRESULT VARCMP_EQ = 1;
constexpr HRESULT VARCMP_GT = 2;
constexpr HRESULT VARCMP_NULL = 3;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr ULONG NORM_IGNORECASE = 0x00000001;

extern "C" {
QRNAUTH_API BSTR SysAllocString(const OLECHAR* text);
QRNAUTH_API BSTR SysAllocStringLen(const OLECHAR* text, unsigned int length);
QRNAUTH_API BSTR SysAllocStringByteLen(const char* bytes, unsigned int length);
QRNAUTH_API int SysReAllocString(BSTR* target, const OLECHAR* text);
QRNAUTH_API void SysFreeString(BSTR text);
QRNAUTH_API unsigned int SysStringLen(BSTR text);
QRNAUTH_API unsigned int SysStringByteLen(BSTR text);
// Compares two BSTRs; a null BSTR equals the empty text. Without
// NORM_IGNORECASE the comparison is by code unit (letter case counts).
QRNAUTH_API HRESULT VarBstrCmp(BSTR left, BSTR right, LCID locale, ULONG flags);

QRNAUTH_API void VariantInit(VARIANT* value);
QRNAUTH_API HRESULT VariantClear(VARIANT* value);
QRNAUTH_API HRESULT VariantCopy(VARIANT* target, const VARIANT* source);

QRNAUTH_API SAFEARRAY* SafeArrayCreate(VARTYPE vt, unsigned int dims, const SAFEARRAYBOUND* bounds);
QRNAUTH_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lower_bound, ULONG elements);
QRNAUTH_API HRESULT SafeArrayDestroy(SAFEARRAY* array);
QRNAUTH_API HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** target);
QRNAUTH_API unsigned int SafeArrayGetDim(SAFEARRAY* array);
QRNAUTH_API unsigned int SafeArrayGetElemsize(SAFEARRAY* array);
QRNAUTH_API HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
QRNAUTH_API HRESULT SafeArrayGetLBound(SAFEARRAY* array, unsigned int dim, LONG* bound);
QRNAUTH_API HRESULT SafeArrayGetUBound(SAFEARRAY* array, unsigned int dim, LONG* bound);
QRNAUTH_API HRESULT SafeArrayLock(SAFEARRAY* array);
QRNAUTH_API HRESULT SafeArrayUnlock(SAFEARRAY* array);
QRNAUTH_API HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
QRNAUTH_API HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
// Copies the element in: a BSTR is duplicated, a VARIANT deep-copied, an
// interface AddRef'd. GetElement hands out a copy in the same way.
QRNAUTH_API HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, const void* value);
QRNAUTH_API HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* value);
}
