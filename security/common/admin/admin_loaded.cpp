// The administration interface's description of what an authorizer loaded
// and of the decision that precedes a load.
#include <string>
#include <vector>

#include "platform/os.h"
#include "qrnauth/admin.h"
#include "security/common/qrncache.h"
#include "security/common/qrnauthorize/loaded_state_view.h"

namespace qrn::admin {

LoadedState DescribeLoaded(const CQRNAuthorize& authorizer) {
  LoadedState state;
  state.loaded = CQRNAuthorizeInspector::Loaded(authorizer);
  state.from_server = CQRNAuthorizeInspector::FromServer(authorizer);
  state.timestamp = CQRNAuthorizeInspector::CacheTimestamp(authorizer);
  state.applications = static_cast<size_t>(CQRNAuthorizeInspector::Applications(authorizer));
  state.roles = CQRNAuthorizeInspector::Roles(authorizer);
  return state;
}

std::vector<std::string> ApplicationNames(const CQRNAuthorize& authorizer) {
  const CQRNAuthorizeCache* cache = CQRNAuthorizeInspector::Cache(authorizer);
  if (cache == nullptr || cache->applicationDocument == nullptr) return {};
  return qrn::ApplicationNames(cache->applicationDocument);
}

CacheFlagDecision DecideCacheFlag() {
  CacheFlagDecision decision;
  // A sentinel tells a delivered empty timestamp from none delivered.
  const std::string none(1, '\0');
  std::string delivered = none;
  decision.result = QrnGetCacheFlag(&decision.flag, &delivered);
  decision.server_asked = CacheFlagAskedServer();
  decision.timestamp_delivered = SUCCEEDED(decision.result) && delivered != none;
  if (decision.timestamp_delivered) decision.server_timestamp = delivered;
  decision.local_groups_level = LocalGroupsLevel();
  decision.protocol_level = ServerProtocolLevel();
  return decision;
}

std::string LibraryFileName() { return platform::ModuleFileName(); }

std::string HostFileName() { return platform::HostFileName(); }

}  // namespace qrn::admin
