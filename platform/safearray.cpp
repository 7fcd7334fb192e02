// SAFEARRAY of any number of dimensions.
//
// SafeArrayCreate takes the bounds in creation order and stores them reversed
// in rgsabound, so rgsabound[cDims-1] describes the first creation dimension.
// Index vectors are in creation order and the first index varies fastest in
// memory. The element type lives in a small header in front of the
// descriptor, so only arrays made here may be passed in. Arrays of BSTR,
// VARIANT and interfaces own their elements: destroying the array frees them.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "qrnauth/com.h"
#include "qrnauth/oleauto.h"

namespace {

constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;
constexpr ULONG kMaxLocks = 0xFFFF;

// Sits directly in front of the descriptor; 16 bytes keep the descriptor
// aligned for its pointer member.
struct alignas(16) ArrayHeader {
  VARTYPE vt;
};

ArrayHeader* HeaderOf(SAFEARRAY* array) {
  return reinterpret_cast<ArrayHeader*>(reinterpret_cast<char*>(array) - sizeof(ArrayHeader));
}

// Element size of the types the subset knows; 0 for a type an array cannot
// hold.
ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_R8:
    case VT_DATE:
    case VT_I8:
    case VT_UI8:
      return 8;
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(IUnknown*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

USHORT FeaturesOf(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_UNKNOWN:
      return FADF_HAVEVARTYPE | FADF_UNKNOWN;
    case VT_DISPATCH:
      return FADF_HAVEVARTYPE | FADF_DISPATCH;
    case VT_VARIANT:
      return FADF_HAVEVARTYPE | FADF_VARIANT;
    default:
      return FADF_HAVEVARTYPE;
  }
}

// Bound of creation dimension i (0-based).
const SAFEARRAYBOUND& CreationBound(const SAFEARRAY* array, unsigned int i) {
  return array->rgsabound[array->cDims - 1 - i];
}

// Total element count, or false when it does not fit in memory.
bool ElementCount(const SAFEARRAY* array, size_t* count) {
  size_t n = 1;
  for (unsigned int i = 0; i < array->cDims; ++i) {
    size_t c = array->rgsabound[i].cElements;
    if (c != 0 && n > std::numeric_limits<size_t>::max() / c) return false;
    n *= c;
  }
  *count = n;
  return true;
}

// Address of the element at the index vector (creation order), or null when
// an index is out of its bounds.
void* ElementAt(SAFEARRAY* array, const LONG* indices) {
  size_t offset = 0;
  size_t stride = 1;
  for (unsigned int i = 0; i < array->cDims; ++i) {
    const SAFEARRAYBOUND& bound = CreationBound(array, i);
    int64_t relative = static_cast<int64_t>(indices[i]) - bound.lLbound;
    if (relative < 0 || relative >= static_cast<int64_t>(bound.cElements)) return nullptr;
    offset += static_cast<size_t>(relative) * stride;
    stride *= bound.cElements;
  }
  return static_cast<char*>(array->pvData) + offset * array->cbElements;
}

void ReleaseElement(VARTYPE vt, void* element) {
  switch (vt) {
    case VT_BSTR: {
      BSTR* text = static_cast<BSTR*>(element);
      SysFreeString(*text);
      *text = nullptr;
      break;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown** object = static_cast<IUnknown**>(element);
      if (*object != nullptr) (*object)->Release();
      *object = nullptr;
      break;
    }
    case VT_VARIANT:
      VariantClear(static_cast<VARIANT*>(element));
      break;
    default:
      break;
  }
}

// Copies one element from the caller's form (a BSTR, an interface pointer, a
// pointer to the data) into the slot, which must hold nothing owned.
HRESULT CopyIn(VARTYPE vt, ULONG size, void* slot, const void* value) {
  switch (vt) {
    case VT_BSTR: {
      BSTR source = static_cast<BSTR>(const_cast<void*>(value));
      BSTR copy = nullptr;
      if (source != nullptr) {
        copy =
            SysAllocStringByteLen(reinterpret_cast<const char*>(source), SysStringByteLen(source));
        if (copy == nullptr) return E_OUTOFMEMORY;
      }
      *static_cast<BSTR*>(slot) = copy;
      return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown* object = static_cast<IUnknown*>(const_cast<void*>(value));
      if (object != nullptr) object->AddRef();
      *static_cast<IUnknown**>(slot) = object;
      return S_OK;
    }
    case VT_VARIANT: {
      VARIANT* target = static_cast<VARIANT*>(slot);
      VariantInit(target);
      return VariantCopy(target, static_cast<const VARIANT*>(value));
    }
    default:
      std::memcpy(slot, value, size);
      return S_OK;
  }
}

// Copies one stored element to another slot of the same type.
HRESULT CopyStored(VARTYPE vt, ULONG size, void* target, const void* source) {
  switch (vt) {
    case VT_BSTR:
      return CopyIn(vt, size, target, *static_cast<const BSTR*>(source));
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return CopyIn(vt, size, target, *static_cast<IUnknown* const*>(source));
    default:
      return CopyIn(vt, size, target, source);
  }
}

}  // namespace

extern "C" {

SAFEARRAY* SafeArrayCreate(VARTYPE vt, unsigned int dims, const SAFEARRAYBOUND* bounds) {
  ULONG size = ElementSize(vt);
  if (size == 0 || dims == 0 || dims > 0xFFFF || bounds == nullptr) return nullptr;
  size_t descriptor = sizeof(SAFEARRAY) + (dims - 1) * sizeof(SAFEARRAYBOUND);
  char* block = static_cast<char*>(std::calloc(1, sizeof(ArrayHeader) + descriptor));
  if (block == nullptr) return nullptr;
  new (block) ArrayHeader{vt};
  SAFEARRAY* array = reinterpret_cast<SAFEARRAY*>(block + sizeof(ArrayHeader));
  array->cDims = static_cast<USHORT>(dims);
  array->fFeatures = FeaturesOf(vt);
  array->cbElements = size;
  array->cLocks = 0;
  for (unsigned int i = 0; i < dims; ++i) {
    array->rgsabound[dims - 1 - i] = bounds[i];
    // The upper bound must be representable as a LONG.
    if (static_cast<int64_t>(bounds[i].lLbound) + bounds[i].cElements - 1 >
        std::numeric_limits<LONG>::max()) {
      std::free(block);
      return nullptr;
    }
  }
  size_t count;
  if (!ElementCount(array, &count) || count > std::numeric_limits<size_t>::max() / size) {
    std::free(block);
    return nullptr;
  }
  // Zeroed storage is the empty state of every element type: null BSTRs and
  // interfaces, VT_EMPTY variants.
  array->pvData = std::calloc(count == 0 ? 1 : count, size);
  if (array->pvData == nullptr) {
    std::free(block);
    return nullptr;
  }
  return array;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lower_bound, ULONG elements) {
  SAFEARRAYBOUND bound{elements, lower_bound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
  if (array == nullptr) return S_OK;
  if (array->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  VARTYPE vt = HeaderOf(array)->vt;
  size_t count = 0;
  ElementCount(array, &count);
  if (vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH || vt == VT_VARIANT) {
    char* data = static_cast<char*>(array->pvData);
    for (size_t i = 0; i < count; ++i) ReleaseElement(vt, data + i * array->cbElements);
  }
  std::free(array->pvData);
  std::free(HeaderOf(array));
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** target) {
  if (target == nullptr) return E_INVALIDARG;
  *target = nullptr;
  if (source == nullptr) return S_OK;
  VARTYPE vt = HeaderOf(source)->vt;
  SAFEARRAYBOUND stack_bounds[8] = {};
  SAFEARRAYBOUND* bounds = stack_bounds;
  if (source->cDims > 8) {
    bounds = static_cast<SAFEARRAYBOUND*>(std::malloc(source->cDims * sizeof(SAFEARRAYBOUND)));
    if (bounds == nullptr) return E_OUTOFMEMORY;
  }
  for (unsigned int i = 0; i < source->cDims; ++i) bounds[i] = CreationBound(source, i);
  SAFEARRAY* copy = SafeArrayCreate(vt, source->cDims, bounds);
  if (bounds != stack_bounds) std::free(bounds);
  if (copy == nullptr) return E_OUTOFMEMORY;
  size_t count = 0;
  ElementCount(source, &count);
  const char* from = static_cast<const char*>(source->pvData);
  char* to = static_cast<char*>(copy->pvData);
  for (size_t i = 0; i < count; ++i) {
    HRESULT hr =
        CopyStored(vt, copy->cbElements, to + i * copy->cbElements, from + i * source->cbElements);
    if (FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *target = copy;
  return S_OK;
}

unsigned int SafeArrayGetDim(SAFEARRAY* array) { return array == nullptr ? 0 : array->cDims; }

unsigned int SafeArrayGetElemsize(SAFEARRAY* array) {
  return array == nullptr ? 0 : array->cbElements;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt) {
  if (array == nullptr || vt == nullptr) return E_INVALIDARG;
  *vt = HeaderOf(array)->vt;
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, unsigned int dim, LONG* bound) {
  if (array == nullptr || bound == nullptr) return E_INVALIDARG;
  if (dim < 1 || dim > array->cDims) return DISP_E_BADINDEX;
  *bound = CreationBound(array, dim - 1).lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, unsigned int dim, LONG* bound) {
  if (array == nullptr || bound == nullptr) return E_INVALIDARG;
  if (dim < 1 || dim > array->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = CreationBound(array, dim - 1);
  // An empty dimension answers lower bound - 1 (it fits: checked at creation).
  *bound = static_cast<LONG>(static_cast<int64_t>(b.lLbound) + b.cElements - 1);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* array) {
  if (array == nullptr) return E_INVALIDARG;
  if (array->cLocks >= kMaxLocks) return E_UNEXPECTED;
  ++array->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* array) {
  if (array == nullptr) return E_INVALIDARG;
  if (array->cLocks == 0) return E_UNEXPECTED;
  --array->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
  if (array == nullptr || data == nullptr) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(array);
  if (FAILED(hr)) return hr;
  *data = array->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) { return SafeArrayUnlock(array); }

HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, const void* value) {
  if (array == nullptr || indices == nullptr) return E_INVALIDARG;
  VARTYPE vt = HeaderOf(array)->vt;
  // Only BSTR and interface elements may be null (a null text, no object).
  if (value == nullptr && vt != VT_BSTR && vt != VT_UNKNOWN && vt != VT_DISPATCH)
    return E_INVALIDARG;
  void* slot = ElementAt(array, indices);
  if (slot == nullptr) return DISP_E_BADINDEX;
  // Copy into a scratch slot first so a failed copy leaves the old element.
  alignas(VARIANT) unsigned char scratch[sizeof(VARIANT)];
  HRESULT hr = CopyIn(vt, array->cbElements, scratch, value);
  if (FAILED(hr)) return hr;
  ReleaseElement(vt, slot);
  std::memcpy(slot, scratch, array->cbElements);
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* value) {
  if (array == nullptr || indices == nullptr || value == nullptr) return E_INVALIDARG;
  void* slot = ElementAt(array, indices);
  if (slot == nullptr) return DISP_E_BADINDEX;
  VARTYPE vt = HeaderOf(array)->vt;
  return CopyStored(vt, array->cbElements, value, slot);
}

}  // extern "C"
