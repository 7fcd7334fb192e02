// Whole-file reads and atomic whole-file replacement.
#pragma once

#include <string>
#include <string_view>

namespace qrn::platform {

// Reads the whole file. False when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* content);

// Replaces the file at path with content: writes a temporary file in the same
// folder, flushes it to disk and renames it over path, so a reader (in any
// process) sees the old file or the new one, never a part of either. A new
// file gets mode 0666 less the umask, an existing one keeps its mode. False
// when the folder cannot be written; the temporary file is then removed.
bool ReplaceWholeFile(const std::string& path, std::string_view content);

}  // namespace qrn::platform
