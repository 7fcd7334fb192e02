// CQRNAuthorize: decides what a user may do, from the roles and access control
// lists that the MVT security server publishes, kept on disk in encrypted
// cache files so that checks go on while the server is down.
//
// Calling order: construct; InitCache (either form) once; then any number of
// queries and checks; optionally RefreshCache or ClearCache; destroy. An
// object is used by one thread at a time. Texts are UTF-8; wide texts are
// UTF-16 BSTRs. No exception leaves any member.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qrnauth/export.h"
#include "qrnauth/oleauto.h"
#include "qrnauth/qrnrole.h"
#include "qrnauth/qrnxml.h"

class CQRNAuthorizeCache;  // the loaded data of one authorizer

// Clear flags of InitCache, RefreshCache and ClearCache.
constexpr unsigned int QRN_CLEAR_CACHE = 1;         // release the cache (and the users' roles)
constexpr unsigned int QRN_CLEAR_CACHE_GROUPS = 2;  // release the cache and the users' groups
constexpr unsigned int QRN_CLEAR_GROUPS = 4;        // the users' groups, also when up to date

class QRNAUTH_API CQRNAuthorize {
 public:
  CQRNAuthorize();
  ~CQRNAuthorize();
  CQRNAuthorize(const CQRNAuthorize&) = delete;
  CQRNAuthorize& operator=(const CQRNAuthorize&) = delete;

  // ---- loading, refreshing and releasing the security data ------------------
  // Loads for user (null or empty: the current user). True when loaded.
  bool InitCache(const char* user, unsigned int clear_flags);
  // Loads for the identity saved by a logon (else the current user), flags 3.
  bool InitCache();
  // Asks the server again; reloads (refreshed = true) when its data changed.
  bool RefreshCache(bool& refreshed, unsigned int clear_flags);
  bool ClearCache(unsigned int clear_flags);  // always true
  HRESULT RefreshCacheUserGroups();           // always S_OK
  HRESULT RefreshCacheUserRoles();            // always S_OK
  // The application document (a reference of the caller's own) and the
  // timestamp of the loaded data (caller frees). E_FAIL, after starting a
  // load, when nothing is loaded.
  HRESULT GetAppCache(IQrnXml2** document, BSTR* timestamp);
  // The cache's role list (owned by the authorizer) and the timestamp.
  HRESULT GetRolesCache(CQRNRoleList** roles, BSTR* timestamp);
  // Receive timeout of every security-server request of the process, in
  // seconds; -1 reads "HTTPTimeOut" again, 0 means 990 ms.
  void SetHTTPTimeout(int seconds);
  // The timestamp stored with the cache files, when they were written for
  // the server configured now; size is the buffer's capacity in bytes.
  static HRESULT GetCacheTime(char* timestamp, unsigned int& size);
  // Stores a timestamp with the cache files and renews their validation hash.
  static HRESULT SetCacheTime(const char* timestamp);

  // ---- groups and roles -----------------------------------------------------
  // The user's groups ("DOMAIN/Group" names), the domain taken from the user
  // name, and their count.
  HRESULT GroupNames(const char* user, std::string& domain, std::vector<std::string>& groups,
                     int& count);
  // The user's roles. *roles points to an array the authorizer owns; the
  // role records belong to the loaded role list.
  HRESULT GetUserRolesFromCache(const char* user, std::vector<CQRNRole*>** roles);
  // Names (and identifiers) of the user's roles as VARIANT arrays of BSTR.
  HRESULT GetRoles(const char* user, VARIANT* names, VARIANT* ids);
  HRESULT GetRoles(const char* user, VARIANT* names);
  HRESULT GetAllRoles(VARIANT* names, VARIANT* ids);
  // The role with that name or identifier; owned by the role list.
  HRESULT GetRoleInfo(const char* name_or_id, CQRNRole** role);

  // ---- access checks --------------------------------------------------------
  // May user (null or empty: the current user) exercise the single
  // permission bit on object?
  bool CheckAccess(const char* user, const char* object, unsigned int permission);
  // The same for the user the data was loaded for.
  bool CheckAccess(const char* object, unsigned int permission);
  // Reserved forms: always false.
  bool CheckAccess(const char* user, const char* object, unsigned int permission,
                   const char* reserved1, const char* reserved2);
  bool CheckAccess(const char* object, unsigned int permission, const char* reserved1,
                   const char* reserved2);
  // Does the role hold the permission bit on object?
  bool CheckRoleAccess(const char* role, const char* object, unsigned int permission);

  // ---- the application directory --------------------------------------------
  // Identifier of the application, of a group in it, or of a secured object
  // in that group, by how many names are given.
  HRESULT GetSecurityId(BSTR application, BSTR group, BSTR secured_object, BSTR* id);
  HRESULT GetSecureGroups(BSTR application, VARIANT* names, VARIANT* ids);
  HRESULT GetSecureGroupMembers(BSTR application, BSTR group, VARIANT* names, VARIANT* ids);

  // ---- error trail ----------------------------------------------------------
  // The authorization trail of the process: the same pointer for every object
  // and every call. The VARIANT belongs to the library; read or copy it, never
  // clear it.
  static VARIANT* GetLastMvtErrors();

 private:
  // ---- loading (private helpers) --------------------------------------------
  // Read-only view of the loaded state for the library's own tools.
  friend class CQRNAuthorizeInspector;
  // Releases the cache object (and with it the users' role arrays).
  void ReleaseCache();
  // The role-cache timer, serviced at each role lookup: arms it while
  // timerId is 0 (reading "RoleCacheAge" and "GroupBackupAge" first), and
  // runs TimerProc once when its deadline has passed.
  void ServiceRoleCacheTimer();
  bool loadedFromServer;  // the last load took its documents from the server

  // ---- directory queries (private helpers) ----------------------------------
  // Splits "a.b.c" into its three parts (qrn::SplitDottedName).
  HRESULT SplitName(BSTR full_name, BSTR* first, BSTR* second, BSTR* third);

  // ---- groups and roles (private helpers) -----------------------------------
  // The Novell path of GroupNames: the candidate groups are the "NDS:\\"
  // group members of the loaded roles, each tested with NovellUserInfo.
  HRESULT NovellGroupNames(std::string* work, std::vector<std::string>& groups, int& count);
  // GetUserRolesFromCache for a name already cut to the 511-byte work buffer;
  // novell, when given, is the Novell client flag the caller has just read.
  HRESULT UserRoles(std::string_view user, std::vector<CQRNRole*>** roles,
                    const bool* novell = nullptr);
  // The first form of CheckAccess for a chosen user name.
  bool CheckUserAccess(std::string_view user, const char* object, unsigned int permission);
  // The array handed out for every empty answer (userRolesMap keeps only
  // non-empty ones): one for the authorizer's life, so that a host may hold
  // it as long as any other answer.
  std::vector<CQRNRole*> emptyRoles;
  // The last user name looked up and its folded key, so that a repeated
  // lookup folds nothing and allocates nothing.
  std::string lastRolesUser;
  std::string lastRolesKey;
  // The Novell client flag once MvtIsNovellClient answered (it is read once
  // per process and never changes afterwards); -1 before.
  int8_t novellFlag = -1;

  // The role-cache timer: no thread; the deadline is checked at the next role
  // lookup, and a tick only sets the process-wide dump flag.
  static void TimerProc(void* window, unsigned int message, uintptr_t event_id, uint32_t time);

  // ---- data -----------------------------------------------------------------
  // Roles of each user found so far (keyed by the folded user name); the map
  // owns the arrays, the roles belong to the cache's role list.
  std::unordered_map<std::string, std::vector<CQRNRole*>*> userRolesMap;
  // Group names of each user found so far; the map owns the arrays.
  std::unordered_map<std::string, std::vector<std::string>*> userGroupsMap;
  int16_t cacheFlag;           // -1: local cache mode, 0: server in use
  std::string cacheTimestamp;  // timestamp of the loaded data (at most 255 bytes)
  CQRNAuthorizeCache* cache;   // owned; null until loaded
  std::string cacheUser;       // the user the last InitCache loaded for
  bool groupsFlag;
  uint32_t timerId;           // 0 when no timer is armed
  uint64_t timerDeadlineMs;   // next tick of the role-cache timer (coarse clock)
  uint64_t timerIntervalMs;
};
