// The local diagnostic log "mvtlog.txt" in the temporary-files folder,
// written only while the machine value "Mvtlog" is exactly 1.
#pragma once

#include <cstdint>

namespace qrn {

// True when "Mvtlog" reads 1 as a REG_DWORD. Read on every call, but served
// from a cached answer while the machine hive is unchanged (no system call).
bool MvtLogEnabled();
// The same, for a caller that has just read platform::CoarseMillis() and
// shares that reading with its other deadlines.
bool MvtLogEnabled(uint64_t coarse_now_ms);

// Appends one line when the log is enabled:
//   "MM/DD/YYYY hh:mm:ss(file:line) hr=status name=text\n"   (text not null)
//   "MM/DD/YYYY hh:mm:ss(file:line) hr=status name=number\n" (text null)
// The leading text is ignored (callers pass "" or a time stamp).
void WriteDiagnosticLine(const char* leading, const char* source_file, int32_t line, int32_t status,
                         const char* name, const char* text, int32_t number);

}  // namespace qrn
