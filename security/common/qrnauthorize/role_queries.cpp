// The role queries for hosts: the names and identifiers of a user's roles or
// of every loaded role as VARIANT arrays of BSTR, and one role record by its
// name or identifier.
#include <string>
#include <vector>

#include "frame/config.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/com_owners.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrnauthorize/steps.h"
#include "security/common/role_records.h"

namespace {

constexpr qrn::Site kSite = qrn::authorize_steps::kSite.In("GetRoles");
// Role texts are converted into buffers of 256 wide characters.
constexpr size_t kWideBuffer = 256;

constexpr qrn::Step kS1 = qrn::authorize_steps::kChooseUser.AtLine(2390);
constexpr qrn::Step kS2 = qrn::authorize_steps::kNovellName.AtLine(2399);

// A BSTR vector of count elements with lower bound 0, freed unless released.
struct BstrVector {
  SAFEARRAY* array = nullptr;
  explicit BstrVector(size_t count)
      : array(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(count))) {
    if (array == nullptr) throw std::bad_alloc();
  }
  ~BstrVector() {
    if (array != nullptr) SafeArrayDestroy(array);
  }
  BstrVector(const BstrVector&) = delete;
  BstrVector& operator=(const BstrVector&) = delete;
  SAFEARRAY* Release() {
    SAFEARRAY* held = array;
    array = nullptr;
    return held;
  }
};

// The role text as the element of a result array: at most 255 wide
// characters, as the fixed conversion buffer holds.
BSTR RoleText(const char* text) {
  std::u16string wide = qrn::platform::Utf8ToUtf16(text);
  if (wide.size() > kWideBuffer - 1) wide.resize(kWideBuffer - 1);
  BSTR b = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
  if (b == nullptr) throw std::bad_alloc();
  return b;
}

void SetArray(VARIANT* value, SAFEARRAY* array) {
  value->vt = VT_ARRAY | VT_BSTR;
  value->parray = array;
}

}  // namespace

HRESULT CQRNAuthorize::GetRoles(const char* user, VARIANT* names, VARIANT* ids) {
  try {
    if (names == nullptr) return E_INVALIDARG;
    VariantInit(names);
    if (ids != nullptr) VariantInit(ids);
    if (cache == nullptr) return E_FAIL;

    std::string name;
    HRESULT hr = qrn::Report(kSite, kS1, qrn::ChooseUser(user, &name));
    if (FAILED(hr)) return hr;

    bool novell = false;
    hr = qrn::MvtIsNovellClient(&novell);
    if (FAILED(hr)) return hr;
    if (novell) {
      hr = qrn::Report(kSite, kS2, qrn::ConvertToNovellUserFormat(&name));
      if (FAILED(hr)) return hr;
    }

    std::vector<CQRNRole*>* roles = nullptr;
    hr = UserRoles(name, &roles);
    if (FAILED(hr) || roles == nullptr) return hr;

    BstrVector name_vector(roles->size());
    std::unique_ptr<BstrVector> id_vector;
    if (ids != nullptr) id_vector = std::make_unique<BstrVector>(roles->size());
    BSTR* name_data = nullptr;
    BSTR* id_data = nullptr;
    hr = SafeArrayAccessData(name_vector.array, reinterpret_cast<void**>(&name_data));
    if (FAILED(hr)) return hr;
    if (id_vector) {
      hr = SafeArrayAccessData(id_vector->array, reinterpret_cast<void**>(&id_data));
      if (FAILED(hr)) {
        SafeArrayUnaccessData(name_vector.array);
        return hr;
      }
    }
    try {
      for (size_t i = 0; i < roles->size(); ++i) {
        const CQRNRole* role = (*roles)[i];
        if (role == nullptr) continue;
        name_data[i] = RoleText(role->roleName);
        if (id_data != nullptr) id_data[i] = RoleText(role->roleId);
      }
    } catch (...) {
      SafeArrayUnaccessData(name_vector.array);
      if (id_vector) SafeArrayUnaccessData(id_vector->array);
      throw;
    }
    hr = SafeArrayUnaccessData(name_vector.array);
    if (FAILED(hr)) return hr;
    if (id_vector) {
      hr = SafeArrayUnaccessData(id_vector->array);
      if (FAILED(hr)) return hr;
    }
    SetArray(names, name_vector.Release());
    if (id_vector) SetArray(ids, id_vector->Release());
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CQRNAuthorize::GetRoles(const char* user, VARIANT* names) {
  return GetRoles(user, names, nullptr);
}

HRESULT CQRNAuthorize::GetAllRoles(VARIANT* names, VARIANT* ids) {
  try {
    if (cache == nullptr) return S_OK;
    if (names == nullptr || ids == nullptr) return E_INVALIDARG;
    VariantInit(names);
    VariantInit(ids);
    const std::vector<CQRNRole*>& list = cache->roleList.roles;
    BstrVector name_vector(list.size());
    BstrVector id_vector(list.size());
    BSTR* name_data = nullptr;
    BSTR* id_data = nullptr;
    if (FAILED(SafeArrayAccessData(name_vector.array, reinterpret_cast<void**>(&name_data))))
      return S_OK;
    if (FAILED(SafeArrayAccessData(id_vector.array, reinterpret_cast<void**>(&id_data)))) {
      SafeArrayUnaccessData(name_vector.array);
      return S_OK;
    }
    try {
      for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] == nullptr) continue;
        name_data[i] = RoleText(list[i]->roleName);
        id_data[i] = RoleText(list[i]->roleId);
      }
    } catch (...) {
      SafeArrayUnaccessData(name_vector.array);
      SafeArrayUnaccessData(id_vector.array);
      throw;
    }
    const bool unlocked = SUCCEEDED(SafeArrayUnaccessData(name_vector.array)) &&
                          SUCCEEDED(SafeArrayUnaccessData(id_vector.array));
    if (!unlocked) return S_OK;
    SetArray(names, name_vector.Release());
    SetArray(ids, id_vector.Release());
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CQRNAuthorize::GetRoleInfo(const char* name_or_id, CQRNRole** role) {
  try {
    const bool usable = name_or_id != nullptr && name_or_id[0] != '\0' && cache != nullptr &&
                        cache->applicationDocument != nullptr;
    if (!usable) {
      // Starts a load; the caller asks again later.
      InitCache();
      return E_FAIL;
    }
    if (role == nullptr) return E_INVALIDARG;
    const std::string_view key(name_or_id);
    const bool by_id = key.front() == '{';
    for (CQRNRole* candidate : cache->roleList.roles) {
      if (candidate == nullptr) continue;
      if (key == (by_id ? candidate->roleId : candidate->roleName)) {
        qrn::RoleRecords::MakeMembers(candidate);
        *role = candidate;
        return S_OK;
      }
    }
    return E_FAIL;
  } catch (...) {
    return E_UNEXPECTED;
  }
}
