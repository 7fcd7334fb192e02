// The loaded data of one authorizer: the application document, the ACL store
// and the role list. Allocated by InitCache and owned by the authorizer.
#pragma once

#include <memory>

#include "qrnauth/qrnrole.h"
#include "qrnauth/qrnxml.h"
#include "security/common/qrnacl.h"

namespace qrn {
class RoleMemberIndex;
}

class CQRNAuthorizeCache {
 public:
  CQRNAuthorizeCache() = default;
  // Forgets the ACLs, deletes every role and releases the application
  // document.
  ~CQRNAuthorizeCache();
  CQRNAuthorizeCache(const CQRNAuthorizeCache&) = delete;
  CQRNAuthorizeCache& operator=(const CQRNAuthorizeCache&) = delete;

  // Loads the application document from the security data parts (or the
  // server's application request), parses it, writes "ApplCache.xml" and
  // keeps it in applicationDocument. Every failing step is reported
  // (function "InitCache.BuildAppls"); a failure keeps the document held
  // before.
  bool BuildAppls();

  // Replaces the application document with a reference of its own to
  // document's IQrnXml2 interface; the QueryInterface result.
  HRESULT TakeApplicationDocument(IUnknown* document);

  IQrnXml2* applicationDocument = nullptr;  // one reference; null when none
  qrn::CQRNAclStore aclStore;
  CQRNRoleList roleList;
  // Member names to roles over roleList, built by the first role match.
  std::shared_ptr<qrn::RoleMemberIndex> memberIndex;
};
