// The administration interface's view of the effective configuration.
#include <string>

#include "frame/config.h"
#include "frame/diagnostic_log.h"
#include "qrnauth/admin.h"

namespace qrn::admin {
namespace {

// The library's readers take caller buffers of this size.
constexpr uint32_t kPathBuffer = 260;

}  // namespace

std::string ServerUrl() {
  char url[kPathBuffer];
  uint32_t size = sizeof url;
  if (FAILED(GetAuthUrl(url, &size))) return std::string();
  return url;
}

HRESULT CacheFolder(std::string* folder) {
  char path[kPathBuffer];
  uint32_t size = sizeof path;
  const HRESULT hr = GetCachePath(path, &size);
  folder->assign(SUCCEEDED(hr) ? path : "");
  return hr;
}

EffectiveConfig ReadEffectiveConfig() {
  EffectiveConfig config;
  config.url = ServerUrl();
  CacheFolder(&config.cache_folder);
  MvtIsNovellClient(&config.novell_client);
  QrnIsWebServer(&config.web_server);
  ReadRoleCacheAge();
  ReadGroupBackupAge();
  config.event_logging = EventLoggingEnabled();
  config.diagnostic_log = MvtLogEnabled();
  const ConfigState state = ConfigSnapshot();
  config.server_adsi = state.server_adsi;
  config.nt_group_support = state.nt_group_support;
  config.source_domains = state.source_domains;
  config.role_cache_age = state.role_cache_age;
  config.group_backup_age = state.group_backup_age;
  config.audit_selector = state.audit_selector;
  return config;
}

}  // namespace qrn::admin
