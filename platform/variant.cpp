// VARIANT: initialise, clear and deep-copy. A VARIANT owns its BSTR, its
// array (VT_ARRAY|VT_x, with the array's elements) and one reference of its
// interface; a VT_BYREF variant owns nothing.
#include "qrnauth/com.h"
#include "qrnauth/oleauto.h"

namespace {

// The types a VARIANT may hold by value in this subset.
bool IsValueType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool IsValid(VARTYPE vt) {
  if (vt & VT_BYREF) return true;  // borrowed: nothing to free or copy deeply
  if (vt & VT_ARRAY) {
    VARTYPE element = vt & ~VT_ARRAY;
    return element == VT_VARIANT ||
           (element != VT_EMPTY && element != VT_NULL && IsValueType(element));
  }
  return IsValueType(vt);
}

}  // namespace

extern "C" {

void VariantInit(VARIANT* value) {
  if (value == nullptr) return;
  value->vt = VT_EMPTY;
  value->wReserved1 = value->wReserved2 = value->wReserved3 = 0;
  value->llVal = 0;
}

HRESULT VariantClear(VARIANT* value) {
  if (value == nullptr) return E_INVALIDARG;
  VARTYPE vt = value->vt;
  if (!IsValid(vt)) return DISP_E_BADVARTYPE;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      HRESULT hr = SafeArrayDestroy(value->parray);
      if (FAILED(hr)) return hr;  // a locked array stays where it is
    } else if (vt == VT_BSTR) {
      SysFreeString(value->bstrVal);
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      if (value->punkVal != nullptr) value->punkVal->Release();
    }
  }
  VariantInit(value);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* target, const VARIANT* source) {
  if (target == nullptr || source == nullptr) return E_INVALIDARG;
  if (target == source) return S_OK;
  if (!IsValid(source->vt)) return DISP_E_BADVARTYPE;
  HRESULT hr = VariantClear(target);
  if (FAILED(hr)) return hr;
  VARTYPE vt = source->vt;
  VARIANT copy = *source;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      hr = SafeArrayCopy(source->parray, &copy.parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      if (source->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(source->bstrVal),
                                             SysStringByteLen(source->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
      }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      if (copy.punkVal != nullptr) copy.punkVal->AddRef();
    }
  }
  *target = copy;
  return S_OK;
}

}  // extern "C"
