// Cache freshness and validation: whether the security server or the local
// cache is used, the validation hash of the cache files, the timestamp file,
// and the process-wide record of the server's last combined answer.
//
// The process-wide values below are shared by every authorizer of the
// process and, as the callers run loads and refreshes from one thread at a
// time, are not locked.
//
// Every step reports to authorizationTrail with the source
// "security/common/qrncache".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qrnauth/oleauto.h"
#include "qrnauth/qrnxml.h"
#include "security/common/server_requests.h"

namespace qrn::platform {
class Md5Hash;
}

namespace qrn {

constexpr char kCacheSource[] = "security/common/qrncache";

// Registry values of this module.
constexpr char kCacheValidationValue[] = "CacheValidation";  // HKLM and HKCU, kSecurityKey
constexpr char kLocalProfileValue[] = "LocalProfile";        // HKCU, kWkzKey

// Appended to the four cache files before the digest is taken.
constexpr char kCacheHashSalt[] = "{2B9E6F10-4D7A-11d3-8E42-0060B1C7A5D9}";

// What the last non-empty combined answer delivered (the parts of
// SplitCombinedData); never cleared. Empty until the server answered.
SecurityDataParts& SecurityParts();

// 2.4 after a non-empty combined answer (and before any check), 2.3 after the
// old-server fallback.
float ServerProtocolLevel();
// "LOCALGROUPLEVEL" of the last answer; 3 by default.
int32_t LocalGroupsLevel();

// The file-name rules of the decision. The library qualifies when its file
// name (the last path component, upper-cased) contains "LIBQRNAUTH.SO" or
// "LIBQRNAUTHD.SO", so the versioned names "libqrnauth.so.0" and
// "libqrnauth.so.0.1.0" qualify too. The host matches when its file name
// upper-cased is exactly "WKZ" or "WKZD".
bool IsQualifiedLibraryName(std::string_view path);
bool IsLocalProfileHostName(std::string_view path);

// flag: 0 = the security server is used, -1 = the local cache is used.
// Decided once per process (until ResetCacheFlag); a later call returns the
// stored flag and delivers no timestamp. server_timestamp, when not null,
// receives the server's timestamp when the server was contacted (it is left
// untouched otherwise).
//   E_INVALIDARG  null flag
//   E_FAIL        the library's or the host's file name cannot be had (the
//                 decision then stays taken, flag 0)
//   S_OK          otherwise: an unreachable server is no error, it gives -1
HRESULT QrnGetCacheFlag(int16_t* flag, std::string* server_timestamp);
// True when the decision in force was taken by asking the server (false
// before any decision and after ResetCacheFlag).
bool CacheFlagAskedServer();
// Sends the combined request (or the old server's date request after an
// empty combined answer) and stores what it delivers in SecurityParts() and
// the levels. available: -1 when the server answered, 0 when not; untouched
// when no URL is configured (the result is then S_OK as well).
HRESULT QrnCheckServerAvailability(int16_t* available, std::string* server_timestamp);
void ResetCacheFlag();
// Decrypted first line of the timestamp file, or empty. The cache folder is
// taken once per process.
std::string GetClientTimestamp();

// status: 1 when the hash matched and the three documents were loaded (a
// file of fewer than 2 characters counts as loaded with no object), else -1.
// The outs receive owned references (or null); objects already in them are
// released first.
HRESULT QrnCheckCachedFiles(int16_t* status, IQrnXml2** application, IQrnXml2** role,
                            IQrnXml2** acl);
// valid: the stored "CacheValidation" equals the computed hash exactly (case
// matters). No stored value, or a missing cache file: S_OK, not valid.
HRESULT QrnCheckHashValue(bool* valid);
// The stored "CacheValidation": HKLM's when it is a terminated string of at
// least one character, else HKCU's. False when neither gives one.
bool ReadStoredCacheValidation(std::string* value);
// The validation hash of the cache folder's files, 24 characters; empty (and
// S_OK) when one of the four files cannot be read.
HRESULT QrnGetHashValue(std::string* hash);
// Feeds the file to hash as the system reads text files: a CR LF pair reads
// as one LF, the file is taken in pieces of at most 1023 characters that end
// after a line end, and each piece counts up to its first NUL. A file that
// cannot be opened gives S_OK with *complete false.
//   E_INVALIDARG  null hash
//   E_FAIL        a hash step failed
HRESULT QrnHashFileContents(const std::string& path, platform::Md5Hash* hash, bool* complete);
// SetCacheTime without the lock: writes the timestamp file (the URL without
// user information) and renews "CacheValidation". The caller holds the cache
// folder's exclusive lock (LockCacheFolder).
HRESULT StoreCacheTime(const char* timestamp);
// StoreCacheTime without renewing "CacheValidation": *written is true when
// the complete file was written, the case where StoreCacheTime goes on to
// store the hash.
HRESULT WriteCacheTimeFile(const char* timestamp, bool* written);
// Writes the current hash as "CacheValidation" in HKCU, then HKLM (a hive
// that can be neither opened nor created for writing is skipped). An empty
// hash writes nothing.
HRESULT StoreCacheValidation();
// StoreCacheValidation for a set the caller has just written while holding
// the cache folder's exclusive lock: the three document files (application,
// role, ACL) are hashed from the bytes written to them, which are what a
// later reader reads, and only the small timestamp file is read back. The
// hash is the one QrnGetHashValue then computes from the files.
HRESULT StoreCacheValidationOfWritten(const std::string_view (&documents)[3]);

}  // namespace qrn
