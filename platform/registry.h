// The configuration store: two hive files in the ".reg" text format, one for
// the machine (HKEY_LOCAL_MACHINE) and one for the user (HKEY_CURRENT_USER).
//
//   machine hive: $QRNAUTH_MACHINE_HIVE, default /etc/qrnauth/machine.reg
//   user hive:    $QRNAUTH_USER_HIVE, default ${XDG_CONFIG_HOME:-~/.config}/qrnauth/user.reg
//
// Both headers are read: "Windows Registry Editor Version 5.00" (wide texts
// of hex(2)/hex(7) are UTF-16LE) and "REGEDIT4". Key paths and value names
// compare without regard to case. Values keep their type and raw bytes, so a
// REG_SZ without terminator or a REG_DWORD stored as REG_SZ reads back exactly
// as it was written.
//
// Reads come from an in-memory snapshot of the hive. The file is checked for
// changes at most once a millisecond (by a coarse clock that costs no system
// call); a change made through this module in this process is seen at once.
// Writes re-read the file under an exclusive advisory lock, apply the change
// and replace the file atomically (temporary file + rename), so two processes
// writing different values both keep their change and readers never see half
// a file. A malformed hive file reads as having no keys, is reported once on
// stderr, and is never written over.
//
// Result codes are Win32 error codes: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (no
// such key or value), ERROR_ACCESS_DENIED (the hive may not be written),
// ERROR_MORE_DATA (buffer too small; *size is set to the size needed),
// ERROR_INVALID_HANDLE (a closed or never-opened key), ERROR_INVALID_PARAMETER
// (data given without a size; a key path or value name to be written that
// holds a CR or LF, which the file format cannot carry), ERROR_BADDB (the hive file is malformed, for
// writes; an imported file that does not parse).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qrn::platform {

enum class RegHive { LocalMachine, CurrentUser };

constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;
constexpr uint32_t REG_QWORD = 11;

constexpr long ERROR_SUCCESS = 0;
constexpr long ERROR_FILE_NOT_FOUND = 2;
constexpr long ERROR_ACCESS_DENIED = 5;
constexpr long ERROR_INVALID_HANDLE = 6;
constexpr long ERROR_INVALID_PARAMETER = 87;
constexpr long ERROR_BADDB = 1009;
constexpr long ERROR_MORE_DATA = 234;

// Path of a hive file, from the environment or the default.
std::string HivePath(RegHive hive);

// A number that changes whenever the hive's content may have changed (a
// write through this module, or the file changed on disk as seen by the
// once-a-millisecond check). Costs no system call when nothing changed.
// Readers that keep a value derived from the hive compare generations.
uint64_t HiveGeneration(RegHive hive);
// The same, for a caller that has just read CoarseMillis() and shares that
// reading with its other deadlines (one clock read instead of two).
uint64_t HiveGeneration(RegHive hive, uint64_t coarse_now_ms);

// Why the hive's file could not be read ("/etc/qrnauth/machine.reg: is not a
// regular file"), or empty when it was read or is simply missing. A hive
// that cannot be read answers as one without keys; callers that must tell
// "not set" from "cannot know" ask here. The reason is also written once to
// standard error per file and reason.
std::string HiveReadError(RegHive hive);

class RegistryKey {
 public:
  RegistryKey();
  ~RegistryKey();
  RegistryKey(RegistryKey&&) noexcept;
  RegistryKey& operator=(RegistryKey&&) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens an existing key for reading (query access only: writes through it
  // answer ERROR_ACCESS_DENIED). A key exists when a section names it or a
  // key below it. ERROR_FILE_NOT_FOUND when missing.
  long Open(RegHive hive, std::string_view path);
  // Opens a key for reading and writing, creating it (and its parents) when
  // missing. ERROR_ACCESS_DENIED when the hive file may not be written.
  long Create(RegHive hive, std::string_view path);
  void Close();
  bool IsOpen() const;

  // RegQueryValueEx semantics: *type receives the type; with data null only
  // the size is reported; when *size is smaller than the data, the result is
  // ERROR_MORE_DATA and *size is the size needed. type, data may be null.
  long QueryValue(std::string_view name, uint32_t* type, void* data, uint32_t* size) const;
  // Convenience: the value's type and raw bytes.
  long QueryRaw(std::string_view name, uint32_t* type, std::vector<uint8_t>* data) const;

  // The writers need a key from Create. A value of the same name (in any
  // letter case) is replaced and keeps its spelling.
  // Writes a REG_SZ value: the text and its NUL terminator.
  long SetString(std::string_view name, std::string_view text);
  // Writes a value of any type with exactly these bytes.
  long SetRaw(std::string_view name, uint32_t type, const void* data, uint32_t size);
  long DeleteValue(std::string_view name);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Imports a .reg file into the hives named by its key paths
// ("HKEY_LOCAL_MACHINE\..." / "HKLM\..." and "HKEY_CURRENT_USER\..." / "HKCU\...").
// On a parse error nothing is written and *error says where.
long ImportRegFile(const std::string& path, std::string* error);

}  // namespace qrn::platform
