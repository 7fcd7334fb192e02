// The administration interface's file reader and writer: the library's own,
// so a tool refuses the links, FIFOs and oversized files the library does.
#include <string>

#include "platform/file_io.h"
#include "qrnauth/admin.h"

namespace qrn::admin {

FileRead ReadFileChecked(const std::string& path, std::string* content, const FileLimits& limits) {
  platform::ReadOptions options;
  options.max_bytes = limits.max_bytes;
  options.follow_links = limits.follow_links;
  const platform::FileResult result = platform::ReadFileChecked(path, content, options);
  FileRead read;
  read.mode = result.mode;
  if (result.ok()) {
    read.state = FileState::kRead;
  } else {
    read.state = result.error == platform::FileError::kMissing ? FileState::kMissing
                                                                : FileState::kUnusable;
    read.why = result.Describe();
  }
  return read;
}

bool ReplaceFile(const std::string& path, std::string_view content) {
  return platform::ReplaceWholeFile(path, content);
}

}  // namespace qrn::admin
