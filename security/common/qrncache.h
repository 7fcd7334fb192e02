// Cache freshness and validation: whether the security server or the local
// cache is used, the validation hash of the cache files, the timestamp file,
// and the process-wide record of the server's last combined answer.
//
// The process-wide values below are shared by every authorizer of the
// process and, as the callers run loads and refreshes from one thread at a
// time, are not locked.
#pragma once

#include <cstdint>
#include <string>

#include "qrnauth/oleauto.h"
#include "qrnauth/qrnxml.h"

namespace qrn {

// What the last non-empty combined answer delivered; never cleared.
struct SecurityDataParts {
  std::string application;       // application document
  std::string role;              // role document
  std::string acl;               // ACL document
  std::string server_timestamp;  // "SERVERTIMESTAMP"
};
SecurityDataParts& SecurityParts();

// 2.4 after a non-empty combined answer, 2.3 after the old-server fallback.
float ServerProtocolLevel();
// "LOCALGROUPLEVEL" of the last answer; 3 by default.
int32_t LocalGroupsLevel();

// flag: 0 = the security server is used, -1 = the local cache is used.
// Decided once per process (until ResetCacheFlag). server_timestamp, when
// not null, receives the server's timestamp when the server was contacted.
HRESULT QrnGetCacheFlag(int16_t* flag, std::string* server_timestamp);
// available: -1 when the server answered, 0 when not.
HRESULT QrnCheckServerAvailability(int16_t* available, std::string* server_timestamp);
void ResetCacheFlag();
// Decrypted first line of the timestamp file, or empty.
std::string GetClientTimestamp();

// status: 1 when the hash matched and the three documents were loaded (a
// file of fewer than 2 characters counts as loaded with no object), else -1.
// The outs receive owned references (or null).
HRESULT QrnCheckCachedFiles(int16_t* status, IQrnXml2** application, IQrnXml2** role,
                            IQrnXml2** acl);
HRESULT QrnCheckHashValue(bool* valid);
HRESULT QrnGetHashValue(std::string* hash);
HRESULT StoreCacheValidation();

}  // namespace qrn
