// A view of an authorizer's loaded state, for the library's own
// administration tool and its tests; only ServiceTimer and MakeTimerDue
// change anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/application_document.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/role_records.h"

class CQRNAuthorizeInspector {
 public:
  static int16_t CacheFlag(const CQRNAuthorize& a) { return a.cacheFlag; }
  static const std::string& CacheUser(const CQRNAuthorize& a) { return a.cacheUser; }
  static const std::string& CacheTimestamp(const CQRNAuthorize& a) { return a.cacheTimestamp; }
  static bool Loaded(const CQRNAuthorize& a) { return a.cache != nullptr; }
  // True when the documents of the last load came from the server.
  static bool FromServer(const CQRNAuthorize& a) { return a.loadedFromServer; }
  static uint32_t TimerId(const CQRNAuthorize& a) { return a.timerId; }
  static long Applications(const CQRNAuthorize& a) {
    if (a.cache == nullptr || a.cache->applicationDocument == nullptr) return 0;
    return static_cast<long>(qrn::ApplicationNames(a.cache->applicationDocument).size());
  }
  static size_t Roles(const CQRNAuthorize& a) {
    return a.cache == nullptr ? 0 : a.cache->roleList.roles.size();
  }
  static size_t CachedUserRoles(const CQRNAuthorize& a) { return a.userRolesMap.size(); }
  static size_t CachedUserGroups(const CQRNAuthorize& a) { return a.userGroupsMap.size(); }
  static void ServiceTimer(CQRNAuthorize& a) { a.ServiceRoleCacheTimer(); }
  // Tests: an armed role-cache timer falls due now (its interval is minutes).
  static void MakeTimerDue(CQRNAuthorize& a) {
    if (a.timerId != 0) a.timerDeadlineMs = 0;
  }
  // The loaded data, every role's member records made, as a host handed the
  // roles sees them.
  static CQRNAuthorizeCache* Cache(const CQRNAuthorize& a) {
    if (a.cache != nullptr) qrn::RoleRecords::MakeMembers(&a.cache->roleList);
    return a.cache;
  }
};
