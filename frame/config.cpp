// The process-wide configuration state and its readers.
//
// Most readers keep what they read for the life of the process: GetAuthUrl
// reads the machine key until it finds a "URL" (and in that same pass
// "EventLogging", "UseServerADSI", "NTGroupSupport" and
// "SourceDomainForGroups"), then never again; GetCachePath resolves the cache
// folder once; MvtIsNovellClient and QrnIsWebServer read on their first call
// only. The ages and the service account are read on every call. Flags only
// ever switch on.
//
// The state is shared by every object of the process and private to this
// file: every read and every write of it holds the one configuration lock,
// so two threads at once cannot tear a text while it is being stored.
#include "frame/config.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/os.h"
#include "platform/text.h"

namespace qrn {

namespace {

using platform::RegHive;
using platform::RegistryKey;

// Buffer sizes of the configuration values, in bytes.
constexpr uint32_t kUrlBuffer = 256;
constexpr uint32_t kSourceDomainsBuffer = 256;
constexpr uint32_t kCachePathBuffer = 260;
constexpr uint32_t kWebServerBuffer = 64;
constexpr uint32_t kServiceAccountBuffer = 256;
// The stores hold at most this many bytes (their buffers keep one for the NUL).
constexpr size_t kPathStoreMax = 259;

constexpr char kUrlValue[] = "URL";
constexpr char kEventLoggingValue[] = "EventLogging";
constexpr char kNovellClientValue[] = "NovellClient";
constexpr char kUseServerAdsiValue[] = "UseServerADSI";
constexpr char kNtGroupSupportValue[] = "NTGroupSupport";
constexpr char kSourceDomainsValue[] = "SourceDomainForGroups";
constexpr char kCachePathValue[] = "CachePath";
constexpr char kRoleCacheAgeValue[] = "RoleCacheAge";
constexpr char kGroupBackupAgeValue[] = "GroupBackupAge";
constexpr char kWebServerValue[] = "WebServer";
constexpr char kServiceUserValue[] = "ZTLUser";
constexpr char kServicePasswordValue[] = "ZTLPwd";

// Guards the read-and-store steps of the readers (constant-initialised, so
// usable from any static initialiser).
std::mutex config_lock;
// Every access check reads the audit selector: it is stored under the lock
// like every value and also published here, so that checks on several
// threads read it without contending for the lock.
std::atomic<int32_t> published_audit_selector{0};

// Copies a known text to the caller as the readers do: E_FAIL with the
// text's length in *size when the buffer has no room for the terminator.
HRESULT CopyOut(const std::string& text, char* buffer, uint32_t* size) {
  if (*size <= text.size()) {
    *size = static_cast<uint32_t>(text.size());
    return E_FAIL;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *size = static_cast<uint32_t>(text.size());
  return S_OK;
}

void EmptyCallerBuffer(char* buffer, const uint32_t* size) {
  if (buffer && size && *size > 0) buffer[0] = '\0';
}

// The cache folder text from a "CachePath" value: trimmed, a separator
// appended, "\" turned into "/", then every non-overlapping pair of
// separators, scanning from the left, folded into one.
std::string NormaliseCachePath(std::string_view value) {
  std::string path(platform::TrimWhite(value));
  path += '/';
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  std::string folded;
  folded.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    folded += path[i];
    if (path[i] == '/' && i + 1 < path.size() && path[i + 1] == '/') ++i;
  }
  return folded;
}

bool UsableFolder(const std::string& path) {
  platform::PathAttributes attributes = platform::GetPathAttributes(path);
  return attributes.exists && attributes.directory && !attributes.read_only;
}

ConfigState& Config() {
  static ConfigState state;
  return state;
}

}  // namespace

ConfigState ConfigSnapshot() {
  std::lock_guard<std::mutex> guard(config_lock);
  return Config();
}

int32_t AuditSelector() { return published_audit_selector.load(std::memory_order_relaxed); }

bool NtGroupSupport() {
  std::lock_guard<std::mutex> guard(config_lock);
  return Config().nt_group_support;
}

bool ServerAdsi() {
  std::lock_guard<std::mutex> guard(config_lock);
  return Config().server_adsi;
}

std::string SourceDomains() {
  std::lock_guard<std::mutex> guard(config_lock);
  return Config().source_domains;
}

uint32_t RoleCacheAge() {
  std::lock_guard<std::mutex> guard(config_lock);
  return Config().role_cache_age;
}

uint32_t GroupBackupAge() {
  std::lock_guard<std::mutex> guard(config_lock);
  return Config().group_backup_age;
}

int32_t HttpTimeout() {
  std::lock_guard<std::mutex> guard(config_lock);
  return Config().http_timeout;
}

void SetAuditSelector(int32_t selector) {
  std::lock_guard<std::mutex> guard(config_lock);
  Config().audit_selector = selector;
  published_audit_selector.store(selector, std::memory_order_relaxed);
}

void SetHttpTimeout(int32_t seconds) {
  std::lock_guard<std::mutex> guard(config_lock);
  Config().http_timeout = seconds;
}

int32_t AdoptHttpTimeout(int32_t seconds) {
  std::lock_guard<std::mutex> guard(config_lock);
  int32_t& timeout = Config().http_timeout;
  if (timeout == -1) timeout = seconds;
  return timeout;
}

void AdoptServerUrl(const std::string& url) {
  std::lock_guard<std::mutex> guard(config_lock);
  Config().server_url = url;
  Config().server_url_known = true;
}

int32_t ClientNetApi(int32_t (*read_value)()) {
  {
    std::lock_guard<std::mutex> guard(config_lock);
    if (Config().client_netapi != -1) return Config().client_netapi;
  }
  const int32_t result = read_value();
  std::lock_guard<std::mutex> guard(config_lock);
  int32_t& kept = Config().client_netapi;
  // A stored -1 would read as "not read"; it means "not 1" all the same.
  if (kept == -1) kept = result == -1 ? 0 : result;
  return kept;
}

bool ReadDwordValue(const RegistryKey& key, const char* name, uint32_t* value) {
  uint32_t type = platform::REG_NONE;
  uint8_t data[4] = {};
  uint32_t size = sizeof data;
  if (key.QueryValue(name, &type, data, &size) != platform::ERROR_SUCCESS) return false;
  // A REG_DWORD of another length than 4 bytes is malformed; it counts as absent.
  if (type != platform::REG_DWORD || size != sizeof data) return false;
  *value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
           static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  return true;
}

bool ReadStringValue(const RegistryKey& key, const char* name, uint32_t buffer_size,
                     std::string* value) {
  value->clear();
  std::vector<uint8_t> data(buffer_size);
  uint32_t type = platform::REG_NONE;
  uint32_t size = buffer_size;
  bool counts = false;
  if (key.QueryValue(name, &type, data.data(), &size) == platform::ERROR_SUCCESS &&
      size <= buffer_size) {
    if (size == 0) {
      counts = type == platform::REG_SZ || type == platform::REG_EXPAND_SZ ||
               type == platform::REG_MULTI_SZ;
    } else if (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ) {
      counts = data[size - 1] == 0;
    } else if (type == platform::REG_MULTI_SZ) {
      counts = size >= 2 && data[size - 2] == 0 && data[size - 1] == 0;
    }
  }
  if (counts && size > 0) {
    // The value is the text up to its first NUL (for REG_MULTI_SZ, its first item).
    value->assign(reinterpret_cast<const char*>(data.data()));
  }
  // The buffer may have held a secret (the service account's password).
  std::memset(data.data(), 0, data.size());
  return counts;
}

bool ReadDwordValue(RegHive hive, const char* key, const char* name, uint32_t* value) {
  RegistryKey opened;
  if (opened.Open(hive, key) != platform::ERROR_SUCCESS) return false;
  return ReadDwordValue(opened, name, value);
}

bool ReadStringValue(RegHive hive, const char* key, const char* name, uint32_t buffer_size,
                     std::string* value) {
  value->clear();
  RegistryKey opened;
  if (opened.Open(hive, key) != platform::ERROR_SUCCESS) return false;
  return ReadStringValue(opened, name, buffer_size, value);
}

HRESULT GetAuthUrl(char* buffer, uint32_t* size) {
  if (!size || (!buffer && *size > 0)) return E_INVALIDARG;
  EmptyCallerBuffer(buffer, size);
  std::lock_guard<std::mutex> guard(config_lock);
  ConfigState& config = Config();
  if (config.server_url_known) return CopyOut(config.server_url, buffer, size);

  config.server_url.clear();
  RegistryKey key;
  if (key.Open(RegHive::LocalMachine, kConfigKey) != platform::ERROR_SUCCESS) return E_FAIL;

  HRESULT result = E_FAIL;
  std::string url;
  if (ReadStringValue(key, kUrlValue, kUrlBuffer, &url)) {
    config.server_url = std::string(platform::TrimWhite(url));
    config.server_url_known = true;
    result = CopyOut(config.server_url, buffer, size);
  }

  // Read in the same pass, whatever the URL gave; once a URL is known this
  // pass never runs again in the process.
  uint32_t flag = 0;
  if (ReadDwordValue(key, kEventLoggingValue, &flag) && flag != 0) config.event_log_url = true;
  if (ReadDwordValue(key, kUseServerAdsiValue, &flag) && flag != 0) config.server_adsi = true;
  if (ReadDwordValue(key, kNtGroupSupportValue, &flag) && flag != 0) {
    config.nt_group_support = true;
  }
  std::string domains;
  if (ReadStringValue(key, kSourceDomainsValue, kSourceDomainsBuffer, &domains)) {
    config.source_domains = std::string(platform::TrimWhite(domains));
    config.source_domains_known = true;
  }
  return result;
}

HRESULT GetCachePath(char* buffer, uint32_t* size) {
  if (!size || (!buffer && *size > 0)) return E_INVALIDARG;
  EmptyCallerBuffer(buffer, size);
  std::lock_guard<std::mutex> guard(config_lock);
  ConfigState& config = Config();
  if (config.cache_folder_known) return CopyOut(config.cache_folder, buffer, size);

  config.cache_folder.clear();
  std::string value;
  if (ReadStringValue(RegHive::LocalMachine, kConfigKey, kCachePathValue, kCachePathBuffer,
                      &value) &&
      !platform::TrimWhite(value).empty()) {
    // An empty value would name the root folder; it counts as not configured.
    std::string folder = NormaliseCachePath(value);
    if (folder.size() <= kPathStoreMax && UsableFolder(folder) && *size > folder.size()) {
      config.cache_folder = folder;
      config.cache_folder_known = true;
      return CopyOut(folder, buffer, size);
    }
  }

  // Every other case takes the temporary-files folder. Like the platform's
  // own call, a buffer that is too small gets the size needed, terminator
  // included.
  std::string temp = platform::TempFolder();
  if (*size <= temp.size()) {
    *size = static_cast<uint32_t>(temp.size() + 1);
    return E_FAIL;
  }
  config.cache_folder = temp;
  config.cache_folder_known = true;
  return CopyOut(temp, buffer, size);
}

HRESULT MvtIsNovellClient(bool* flag) {
  std::lock_guard<std::mutex> guard(config_lock);
  ConfigState& config = Config();
  if (!config.novell_read) {
    config.novell_read = true;
    RegistryKey key;
    if (key.Open(RegHive::LocalMachine, kConfigKey) == platform::ERROR_SUCCESS) {
      uint32_t value = 0;
      // Only exactly 1 makes a Novell client.
      if (ReadDwordValue(key, kNovellClientValue, &value) && value == 1) {
        config.novell_client = true;
      }
      if (ReadDwordValue(key, kEventLoggingValue, &value) && value != 0) {
        config.event_log_novell = true;
      }
    }
  }
  if (flag) *flag = config.novell_client;
  return S_OK;
}

HRESULT QrnIsWebServer(bool* flag) {
  std::lock_guard<std::mutex> guard(config_lock);
  ConfigState& config = Config();
  if (!config.web_server_read) {
    std::string value;
    if (ReadStringValue(RegHive::LocalMachine, kConfigKey, kWebServerValue, kWebServerBuffer,
                        &value) &&
        !value.empty()) {
      config.web_server = true;
    }
    config.web_server_read = true;
  }
  if (flag) *flag = config.web_server;
  return S_OK;
}

void ReadRoleCacheAge() {
  uint32_t minutes = 0;
  if (ReadDwordValue(RegHive::LocalMachine, kConfigKey, kRoleCacheAgeValue, &minutes) &&
      minutes != 0) {
    std::lock_guard<std::mutex> guard(config_lock);
    Config().role_cache_age = minutes;
  }
}

void ReadGroupBackupAge() {
  uint32_t minutes = 0;
  if (ReadDwordValue(RegHive::LocalMachine, kConfigKey, kGroupBackupAgeValue, &minutes) &&
      minutes != 0) {
    std::lock_guard<std::mutex> guard(config_lock);
    Config().group_backup_age = minutes;
  }
}

bool ReadServiceAccount(std::string* user, std::string* password) {
  RegistryKey key;
  user->clear();
  password->clear();
  if (key.Open(RegHive::LocalMachine, kConfigKey) != platform::ERROR_SUCCESS) return false;
  if (!ReadStringValue(key, kServiceUserValue, kServiceAccountBuffer, user)) return false;
  return ReadStringValue(key, kServicePasswordValue, kServiceAccountBuffer, password);
}

void StoreServerUrl(const std::string& url) {
  std::lock_guard<std::mutex> guard(config_lock);
  ConfigState& config = Config();
  config.server_url = url;
  config.server_url_known = true;
  config.web_server = true;
  config.web_server_read = true;
}

bool EventLoggingEnabled() {
  std::lock_guard<std::mutex> guard(config_lock);
  const ConfigState& config = Config();
  return config.event_log_novell || config.event_log_url;
}

}  // namespace qrn
