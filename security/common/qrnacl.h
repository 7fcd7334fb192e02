// The ACL store: object keys to the access control lists of the loaded ACL
// document, each key looked up in the document and decrypted at most once.
#pragma once

#include <cstdint>
#include <string>

#include "qrnauth/qrnxml.h"

namespace qrn {

class CQRNAclStore {
 public:
  CQRNAclStore();  // reads the server URL
  ~CQRNAclStore();
  CQRNAclStore(const CQRNAclStore&) = delete;
  CQRNAclStore& operator=(const CQRNAclStore&) = delete;

  // Loads the ACL document: from the given object when use_given is -1 and
  // one is given, else from the security data parts or the server (writing
  // the ACL cache file). The first argument is ignored.
  bool BuildACLFromWeb(const char* ignored, int16_t use_given, IUnknown* document);

  // Does role hold the single permission bit access on the object key?
  bool AclAllows(const char* role, const char* key, uint32_t access);

  // Forgets every key and releases the document.
  void ResetAcls();
};

}  // namespace qrn
