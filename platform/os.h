// The operating-system services the logic needs, in one seam: folders,
// names, the event log, clocks and directory attributes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qrn::platform {

// $TMPDIR, else /tmp, always ending in '/'.
std::string TempFolder();

// This computer's NetBIOS-style name: the host name's first label,
// upper-cased, at most 15 characters. False when it cannot be had.
bool ComputerName(std::string* name);

// Full path of the loaded library file (dladdr on a symbol of the library).
std::string ModuleFileName();
// Full path of the running program (/proc/self/exe).
std::string HostFileName();

// One information event: syslog, ident "MvtSecurity", LOG_USER, LOG_INFO.
// When $QRNAUTH_EVENT_LOG names a file, the text and a newline are appended
// to that file instead (one write, so lines of several processes stay whole).
// Control characters of the text are escaped (platform/log_text.h).
void WriteEvent(std::string_view text);

struct UtcTime {
  int year, month, day, hour, minute, second, millisecond;
};
UtcTime UtcNow();
// Seconds since the epoch.
int64_t UnixSeconds();

// This process's id (getpid).
uint32_t ProcessId();

// Milliseconds of a monotonic coarse clock (CLOCK_MONOTONIC_COARSE, served by
// the vDSO: no system call).
uint64_t CoarseMillis();

// The two attributes of a path that the configuration cares about. A
// directory is "read-only" when none of its write permission bits are set
// (an attribute of the folder, independent of who asks, as root included).
struct PathAttributes {
  bool exists = false;
  bool directory = false;
  bool read_only = false;
};
PathAttributes GetPathAttributes(const std::string& path);

}  // namespace qrn::platform
