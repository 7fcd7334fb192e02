// The authorizer's life: construction, destruction, releasing the loaded
// data and the per-user maps, and handing the loaded data to hosts.
#include <new>

#include "qrnauth/qrnauthorize.h"
#include "security/common/com_owners.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/role_records.h"
#include "security/common/web.h"

CQRNAuthorize::CQRNAuthorize()
    : loadedFromServer(false),
      cacheFlag(0),
      cache(nullptr),
      groupsFlag(false),
      timerId(0),
      timerDeadlineMs(0),
      timerIntervalMs(0) {
  userRolesMap.reserve(10);
  userGroupsMap.reserve(10);
  qrn::syncGroup.Create();
}

CQRNAuthorize::~CQRNAuthorize() {
  try {
    ClearCache(0xFFFFFFFFu);
    ReleaseCache();
  } catch (...) {
  }
  // Stopping the timer: nothing is queued anywhere, forgetting it is enough.
  timerId = 0;
  // Step 1 emptied both maps; this catches arrays left by a failed step.
  for (auto& entry : userRolesMap) delete entry.second;
  for (auto& entry : userGroupsMap) delete entry.second;
}

void CQRNAuthorize::ReleaseCache() {
  CQRNAuthorizeCache* held = cache;
  if (held == nullptr) return;
  cache = nullptr;
  // The users' role arrays point into the role list released below.
  RefreshCacheUserRoles();
  delete held;
}

bool CQRNAuthorize::ClearCache(unsigned int clear_flags) {
  if (clear_flags & (QRN_CLEAR_CACHE_GROUPS | QRN_CLEAR_GROUPS)) RefreshCacheUserGroups();
  if (clear_flags & (QRN_CLEAR_CACHE | QRN_CLEAR_CACHE_GROUPS)) ReleaseCache();
  return true;
}

HRESULT CQRNAuthorize::RefreshCacheUserGroups() {
  for (auto& entry : userGroupsMap) delete entry.second;
  userGroupsMap.clear();
  return S_OK;
}

HRESULT CQRNAuthorize::RefreshCacheUserRoles() {
  for (auto& entry : userRolesMap) delete entry.second;
  userRolesMap.clear();
  return S_OK;
}

HRESULT CQRNAuthorize::GetAppCache(IQrnXml2** document, BSTR* timestamp) {
  if (document == nullptr || timestamp == nullptr) return E_INVALIDARG;
  try {
    if (cache == nullptr || cache->applicationDocument == nullptr) {
      InitCache();
      return E_FAIL;
    }
    *timestamp = qrn::NewBstr(cacheTimestamp);
    cache->applicationDocument->AddRef();
    *document = cache->applicationDocument;
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CQRNAuthorize::GetRolesCache(CQRNRoleList** roles, BSTR* timestamp) {
  if (roles == nullptr || timestamp == nullptr) return E_INVALIDARG;
  *roles = nullptr;
  try {
    if (cache == nullptr || cache->applicationDocument == nullptr) {
      InitCache();
      return E_FAIL;
    }
    // The host may read every role's member records.
    qrn::RoleRecords::MakeMembers(&cache->roleList);
    *timestamp = qrn::NewBstr(cacheTimestamp);
    *roles = &cache->roleList;
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

void CQRNAuthorize::SetHTTPTimeout(int seconds) { qrn::SetHTTPTimeout(seconds); }
