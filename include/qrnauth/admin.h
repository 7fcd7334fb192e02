// The administration interface: what a tool needs beyond the host surface
// to show and change this machine's configuration, look into the cache
// folder, describe what an authorizer loaded and run the transports by hand.
// The qrnauth command-line tool is built on it and on the host headers only.
//
// Conventions of every declaration below:
// - The texts are UTF-8. Nothing here throws but std::bad_alloc.
// - "Thread-safe" means any thread may call it at any time, as the host
//   surface's readers may be; a function that reads the configuration reads
//   it as the library does (cached where the library caches it).
// - Functions that take a CQRNAuthorize read it and never change it; the
//   caller keeps the authorizer from being changed (InitCache, RefreshCache,
//   destruction) on another thread meanwhile, as for the authorizer itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qrnauth/explain.h"
#include "qrnauth/export.h"
#include "qrnauth/oleauto.h"
#include "qrnauth/qrnauthorize.h"

namespace qrn::admin {

// ---- text ------------------------------------------------------------------

// The UTF-8 form of a BSTR (UTF-16); empty for a null BSTR. Thread-safe.
QRNAUTH_API std::string BstrToUtf8(BSTR text);
// A new BSTR holding text (UTF-8; an invalid byte becomes U+FFFD); the
// caller frees it with SysFreeString. Null when memory is short.
// Thread-safe.
QRNAUTH_API BSTR Utf8ToBstr(std::string_view text);
// The library's comparison of names: Unicode simple case folding of UTF-8
// (invalid UTF-8 compares bytewise). Thread-safe.
QRNAUTH_API bool EqualsNoCase(std::string_view left, std::string_view right);
// text without the Unicode white space at either end. Thread-safe.
QRNAUTH_API std::string_view TrimWhite(std::string_view text);
// text with each control character (U+0000..U+001F, U+007F) written as
// "\n", "\r", "\t" or "\xHH", everything else kept, fit for one line of a
// log or a terminal. Thread-safe.
QRNAUTH_API std::string EscapeLogText(std::string_view text);

// ---- the effective configuration -------------------------------------------

// The configuration as the library reads it from the two hives and the
// environment. Ages are in minutes.
struct EffectiveConfig {
  std::string url;           // the security server's URL; empty when none can be read
  std::string cache_folder;  // with a trailing '/'; empty when none can be made
  bool event_logging = false;
  bool novell_client = false;
  bool server_adsi = false;
  bool nt_group_support = false;
  std::string source_domains;
  bool web_server = false;
  uint32_t role_cache_age = 0;
  uint32_t group_backup_age = 0;
  int32_t audit_selector = 0;
  bool diagnostic_log = false;
};
// Reads every item (the ages anew from the hives). Thread-safe.
QRNAUTH_API EffectiveConfig ReadEffectiveConfig();
// The security server's URL as a load would use it; empty when none can be
// read. Thread-safe.
QRNAUTH_API std::string ServerUrl();
// The cache folder (with a trailing '/') into *folder; the failure code of
// the library's reader when it cannot make one. Thread-safe.
QRNAUTH_API HRESULT CacheFolder(std::string* folder);

// ---- the hives ---------------------------------------------------------------

enum class Hive { kMachine, kUser };

// Value types, as in a .reg file.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kRegQword = 11;

// Results of the hive functions.
constexpr long kRegOk = 0;
constexpr long kRegValueNotFound = 2;   // the key exists, the value does not
constexpr long kRegKeyNotFound = 3;     // no such key
constexpr long kRegAccessDenied = 5;    // the hive file may not be written (or read)
constexpr long kRegMalformedHive = 1009;  // the hive file does not parse; it is left as it is

// The file that holds a hive ($QRNAUTH_MACHINE_HIVE, $QRNAUTH_USER_HIVE or
// the default). Thread-safe.
QRNAUTH_API std::string HivePath(Hive hive);
// Why the hive's file cannot be read ("PATH: is not a regular file"), or
// empty when it was read or is simply missing. A hive that cannot be read
// answers like one without keys; ask here to tell "not set" from "cannot
// know". Thread-safe.
QRNAUTH_API std::string HiveReadError(Hive hive);

struct RegistryValue {
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;  // the raw bytes, terminators included
};
// Reads the value `name` ("" for the key's default value) of `key` (the path
// below the hive root, e.g. "SOFTWARE\\Korvane\\MVT"; names compare without
// regard to case). kRegOk, kRegKeyNotFound or kRegValueNotFound.
// Thread-safe.
QRNAUTH_API long ReadRegistryValue(Hive hive, std::string_view key, std::string_view name,
                                   RegistryValue* value);
// Writes the value with exactly these bytes, creating the key (and its
// parents) when missing; a value of the same name in any letter case is
// replaced and keeps its spelling. The hive file is replaced atomically
// under its lock, so concurrent writers in any process lose nothing.
// kRegOk, kRegAccessDenied or kRegMalformedHive. Thread-safe.
QRNAUTH_API long WriteRegistryValue(Hive hive, std::string_view key, std::string_view name,
                                    const RegistryValue& value);
// Applies every key of a .reg file ("Windows Registry Editor Version 5.00"
// or REGEDIT4) to the hive its path names. Nothing is written when the file
// does not parse; *error then says where. Thread-safe.
QRNAUTH_API long ImportRegFile(const std::string& path, std::string* error);

// ---- files -------------------------------------------------------------------

enum class FileState { kRead, kMissing, kUnusable };
struct FileRead {
  FileState state = FileState::kMissing;
  // Unless kRead, why: "does not exist", "is not a regular file",
  // "Permission denied", ...
  std::string why;
  unsigned mode = 0;  // permission bits of the file read (st_mode & 07777)
};
struct FileLimits {
  size_t max_bytes = size_t{128} << 20;
  // Follow a symbolic link in the last component: only for a path the user
  // named, never for a name in a shared folder.
  bool follow_links = false;
};
// Reads the whole of a regular file as the library reads its own files: no
// FIFO or device, no link unless allowed, at most limits.max_bytes (a larger
// file is unusable). *content is cleared unless state is kRead. Thread-safe.
QRNAUTH_API FileRead ReadFileChecked(const std::string& path, std::string* content,
                                     const FileLimits& limits = {});
// Replaces the file atomically (a new file in the same folder, flushed and
// renamed over it); an existing file keeps its permission bits but never
// set-id bits or write access for others. False when the folder cannot be
// written. Thread-safe (the last of concurrent writers wins).
QRNAUTH_API bool ReplaceFile(const std::string& path, std::string_view content);

// ---- the cache folder --------------------------------------------------------

// The names of the files a load keeps in the cache folder.
QRNAUTH_API std::vector<std::string> CacheDocumentFiles();  // the three documents
QRNAUTH_API std::string CacheTimestampFile();               // the timestamp and URL file

// What is found of one cache file.
struct CacheFileInfo {
  std::string name;  // the file's name in the folder
  FileRead read;
  size_t bytes = 0;
  // For a document that is read and not empty (2 bytes or more): whether
  // its text decrypts and whether the XML component parses the plain text.
  bool empty = false;
  bool decrypts = false;
  bool parses = false;
  // For the timestamp file: the server timestamp and the URL it was written
  // for, the URL without user information (never a password).
  std::string timestamp;
  std::string url;
};
// The state of the three documents and the timestamp file of a folder (a
// path ending in '/'), read as a load reads them. Thread-safe; the library
// may replace a file meanwhile, so each file is seen whole, old or new.
QRNAUTH_API std::vector<CacheFileInfo> InspectCacheFolder(const std::string& folder);
// True when path names the timestamp file (by its name, without regard to
// case). Thread-safe.
QRNAUTH_API bool IsTimestampFile(const std::string& path);
// The timestamp file's content parsed; the URL without user information.
// Thread-safe.
QRNAUTH_API void ParseTimestampFile(std::string_view content, std::string* timestamp,
                                    std::string* url);

// The cache text form (RC4 with the built-in pass phrase, base64 of the
// cache alphabet) that the cache files and the server's role and ACL values
// use. Decrypt is false for text that is not base64 of that alphabet.
// Thread-safe.
QRNAUTH_API std::string EncryptCacheText(std::string_view plain);
QRNAUTH_API bool DecryptCacheText(std::string_view text, std::string* plain);

struct CacheValidation {
  HRESULT result = 0;       // failure: the hash could not be computed
  bool has_stored = false;  // "CacheValidation" is set (the machine's, else the user's)
  std::string stored;
  std::string computed;  // empty when a cache file is missing
  bool valid = false;    // stored and computed, equal
};
// Recomputes the validation hash of the cache files and compares it with the
// stored one. Thread-safe.
QRNAUTH_API CacheValidation VerifyCache();

// ---- the loaded state ----------------------------------------------------------

struct LoadedState {
  bool loaded = false;       // security data is loaded
  bool from_server = false;  // the documents of the last load came from the server
  std::string timestamp;     // the server timestamp of the loaded data
  size_t applications = 0;
  size_t roles = 0;
};
// What the authorizer has loaded.
QRNAUTH_API LoadedState DescribeLoaded(const CQRNAuthorize& authorizer);
// The names of the applications of the loaded application document, in
// document order; empty when nothing is loaded.
QRNAUTH_API std::vector<std::string> ApplicationNames(const CQRNAuthorize& authorizer);

// The decision between the security server and the local cache files, taken
// as an authorizer takes it before a load.
struct CacheFlagDecision {
  HRESULT result = 0;      // a failure means no decision
  int16_t flag = 0;        // 0: the security server; -1: the local cache
  bool server_asked = false;
  bool timestamp_delivered = false;
  std::string server_timestamp;
  int32_t local_groups_level = 0;
  float protocol_level = 0;
};
// Takes the decision (it may ask the configured server, with the library's
// timeouts). Thread-safe.
QRNAUTH_API CacheFlagDecision DecideCacheFlag();
// The library's file and the program's file, as the decision compares them.
// Thread-safe.
QRNAUTH_API std::string LibraryFileName();
QRNAUTH_API std::string HostFileName();

// The identity that a logon saved for the processes of this user; never the
// password.
struct SavedIdentity {
  bool os_user = false;  // each process acts as its own operating-system user
  std::string domain;
  std::string user;  // empty with domain: nothing saved
};
// Thread-safe.
QRNAUTH_API SavedIdentity ReadSavedIdentity();

// ---- transports by hand ----------------------------------------------------------

// TCP sockets for running the socket and HTTP transports between two
// processes. Each returns a socket descriptor the caller closes with
// CloseSocket, or -1 with *error set. Thread-safe.
QRNAUTH_API int ConnectTcp(const std::string& host, const std::string& port, uint32_t timeout_ms,
                           std::string* error);
// Listens on host:port (port "0" picks a free one); *bound is "HOST:PORT".
QRNAUTH_API int ListenTcp(const std::string& host, const std::string& port, std::string* bound,
                          std::string* error);
// One connection, waiting at most timeout_ms; -1 when none came.
QRNAUTH_API int AcceptOne(int listener, uint32_t timeout_ms);
QRNAUTH_API void CloseSocket(int fd);
// One frame of the socket transport (a 4-byte little-endian length and the
// bytes), with the process's transport timeout. Receive refuses a frame over
// max_bytes and answers nullopt when the peer closes or is silent too long.
QRNAUTH_API bool SendFrame(int fd, std::string_view payload);
QRNAUTH_API std::optional<std::string> ReceiveFrame(int fd, uint32_t max_bytes);

// The NT hash (MD4 of the UTF-16LE password) that NTLM user files keep.
// False when password is not valid UTF-8. Thread-safe.
constexpr size_t kNtHashSize = 16;
QRNAUTH_API bool NtHash(std::string_view password, uint8_t (&hash)[kNtHashSize]);

}  // namespace qrn::admin
