// The process-wide configuration state and its readers.
//
// Configuration comes only from the registry (platform/registry.h): the
// machine key "SOFTWARE\Korvane\MVT" (the configuration key) and the
// "Security" and "Security\WKZ" subkeys. Values are read lazily; most are then
// kept for the life of the process, and flags only ever switch on.
//
// Value rules: a 4-byte value counts only when its type is REG_DWORD. A string
// value read into a buffer of N bytes counts only when its type is REG_SZ or
// REG_EXPAND_SZ with a NUL at the end of its data, or REG_MULTI_SZ with two
// NULs at the end; data of length 0 counts as the empty string; data larger
// than N bytes does not count. REG_EXPAND_SZ data is not expanded.
#pragma once

#include <cstdint>
#include <string>

#include "platform/registry.h"
#include "qrnauth/oleauto.h"

namespace qrn {

constexpr char kConfigKey[] = "SOFTWARE\\Korvane\\MVT";
constexpr char kSecurityKey[] = "Software\\Korvane\\MVT\\Security";
constexpr char kWkzKey[] = "SOFTWARE\\Korvane\\MVT\\Security\\WKZ";

// The access key of SetSecurityServer.
constexpr char16_t kSecurityServerKey[] = u"{7C2E5B14-3A9D-4F61-8B07-5D9E2A6C41F3}";

// The configuration values of the process. The live values are private to
// the configuration (one lock guards them all); callers read them through
// the accessors below, or take a consistent copy with ConfigSnapshot.
struct ConfigState {
  int32_t audit_selector = 0;
  std::string server_url;  // at most 259 characters
  bool server_url_known = false;
  std::string cache_folder;  // at most 259 characters
  bool cache_folder_known = false;
  bool novell_read = false;
  bool novell_client = false;
  bool event_log_novell = false;  // set by MvtIsNovellClient
  bool event_log_url = false;     // set by GetAuthUrl
  bool server_adsi = false;
  bool nt_group_support = false;
  std::string source_domains;  // at most 255 characters
  bool source_domains_known = false;
  bool web_server = false;
  bool web_server_read = false;
  uint32_t role_cache_age = 720;     // minutes
  uint32_t group_backup_age = 1440;  // minutes
  int32_t client_netapi = -1;        // -1: not read
  int32_t http_timeout = -1;         // seconds; -1: unset
};

// A copy of every value, taken under the lock (for display and tests).
ConfigState ConfigSnapshot();

// Single values, each read under the lock.
int32_t AuditSelector();
bool NtGroupSupport();
bool ServerAdsi();
std::string SourceDomains();
uint32_t RoleCacheAge();
uint32_t GroupBackupAge();
// Seconds; -1 while not known.
int32_t HttpTimeout();

// The writes. SetAuditSelector: the selector read at load (tests and tools
// may set another). SetHttpTimeout: the timeout of SetHTTPTimeout.
// AdoptHttpTimeout: stores seconds only while none is known and returns the
// value that holds. AdoptServerUrl: a URL the process takes at once (the
// server moved), without changing the web server flags.
void SetAuditSelector(int32_t selector);
void SetHttpTimeout(int32_t seconds);
int32_t AdoptHttpTimeout(int32_t seconds);
void AdoptServerUrl(const std::string& url);
// The "UseClientNetApi" value, read once and kept: -1 stored means unread.
// read_value is called without the lock held, at most until a value is kept.
int32_t ClientNetApi(int32_t (*read_value)());

// Value-rule readers. They return true when the value counts.
bool ReadDwordValue(platform::RegHive hive, const char* key, const char* name, uint32_t* value);
bool ReadStringValue(platform::RegHive hive, const char* key, const char* name,
                     uint32_t buffer_size, std::string* value);
// Applies the rules to a value already read from an open key.
bool ReadDwordValue(const platform::RegistryKey& key, const char* name, uint32_t* value);
bool ReadStringValue(const platform::RegistryKey& key, const char* name, uint32_t buffer_size,
                     std::string* value);

// buffer/size in bytes. GetAuthUrl: the URL, read from the registry until one
// is found, then kept (E_FAIL while none is found). GetCachePath: the cache
// folder, ending in "/", kept once resolved; the temporary-files folder when
// "CachePath" is unusable. Both: E_FAIL with the length needed in *size when
// the buffer has no room for the text and its terminator.
HRESULT GetAuthUrl(char* buffer, uint32_t* size);
HRESULT GetCachePath(char* buffer, uint32_t* size);
HRESULT MvtIsNovellClient(bool* flag);
HRESULT QrnIsWebServer(bool* flag);
void ReadRoleCacheAge();
void ReadGroupBackupAge();
bool ReadServiceAccount(std::string* user, std::string* password);
// The URL of SetSecurityServer (at most 259 bytes): the URL becomes known,
// and the web server flag on and read.
void StoreServerUrl(const std::string& url);
// True when either event-log flag is on. Reads nothing: the flags are set by
// MvtIsNovellClient and GetAuthUrl.
bool EventLoggingEnabled();

}  // namespace qrn
