// qrnauth cache show [FILE] | cache verify: the encrypted cache files and
// their validation hash, for an administrator looking at a cache folder.
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "command.h"
#include "qrnauth/admin.h"

namespace {

using qrn::cli::Arguments;
using qrn::cli::CommandError;

std::string CacheFolder() {
  std::string folder;
  const HRESULT hr = qrn::admin::CacheFolder(&folder);
  if (FAILED(hr)) throw CommandError("no cache folder: " + qrn::cli::FormatHresult(hr));
  return folder;
}

// "missing", "unusable: why", or nothing for a file that was read.
bool PrintUnread(const qrn::admin::FileRead& read) {
  if (read.state == qrn::admin::FileState::kMissing) {
    std::cout << "missing\n";
  } else if (read.state == qrn::admin::FileState::kUnusable) {
    std::cout << "unusable: " << read.why << "\n";
  }
  return read.state != qrn::admin::FileState::kRead;
}

void PrintFileState(const qrn::admin::CacheFileInfo& file, bool timestamp_file) {
  std::cout << std::left << std::setw(14) << file.name << " ";
  if (PrintUnread(file.read)) return;
  std::cout << "present " << file.bytes << " bytes";
  if (timestamp_file) {
    std::cout << " timestamp: " << file.timestamp << " url: " << file.url << "\n";
  } else if (file.empty) {
    std::cout << " empty\n";
  } else {
    std::cout << " decrypts: " << (file.decrypts ? "yes" : "no")
              << " parses: " << (file.parses ? "yes" : "no") << "\n";
  }
}

int CacheShow(Arguments& args) {
  std::optional<std::string> file = args.NextOptional();
  args.Finish();
  if (!file) {
    const std::string folder = CacheFolder();
    std::cout << "cache-folder: " << folder << "\n";
    const std::vector<qrn::admin::CacheFileInfo> files = qrn::admin::InspectCacheFolder(folder);
    for (size_t i = 0; i < files.size(); ++i)
      PrintFileState(files[i], files[i].name == qrn::admin::CacheTimestampFile());
    return qrn::cli::kExitOk;
  }

  const std::string path = file->find('/') == std::string::npos ? CacheFolder() + *file : *file;
  std::string content;
  // The same reader as the library's: a link, FIFO or device named here is
  // refused rather than followed or waited on.
  const qrn::admin::FileRead read = qrn::admin::ReadFileChecked(path, &content);
  if (read.state != qrn::admin::FileState::kRead) {
    throw CommandError("cannot read " + path + ": " + read.why);
  }
  if (qrn::admin::IsTimestampFile(path)) {
    std::string timestamp, url;
    qrn::admin::ParseTimestampFile(content, &timestamp, &url);
    std::cout << "timestamp: " << timestamp << "\nurl: " << url << "\n";
    return qrn::cli::kExitOk;
  }
  std::string plain;
  if (!qrn::admin::DecryptCacheText(qrn::admin::TrimWhite(content), &plain))
    throw CommandError(path + " is not an encrypted cache file (invalid base64)");
  std::cout << plain;
  if (!plain.empty() && plain.back() != '\n') std::cout << "\n";
  return qrn::cli::kExitOk;
}

int CacheVerify(Arguments& args) {
  args.Finish();
  const qrn::admin::CacheValidation check = qrn::admin::VerifyCache();
  if (FAILED(check.result))
    throw CommandError("the hash cannot be computed: " + qrn::cli::FormatHresult(check.result));
  std::cout << "stored: " << (check.has_stored ? check.stored : "(none)") << "\n"
            << "computed: " << (check.computed.empty() ? "(a cache file is missing)" : check.computed)
            << "\n"
            << "valid: " << (check.valid ? "yes" : "no") << "\n";
  return check.valid ? qrn::cli::kExitOk : qrn::cli::kExitNo;
}

}  // namespace

QRN_CLI_COMMAND("cache show", "print a cache file, or the state of the cache folder",
                "usage: qrnauth cache show [FILE]\n"
                "With FILE (a name in the cache folder, or a path), prints its decrypted\n"
                "text; for MvtCache.txt the timestamp and the URL it was written for.\n"
                "Without FILE, lists the cache files: present, missing or unusable (a\n"
                "link, not a regular file, over 128 MiB), size, whether a document\n"
                "decrypts and parses.",
                CacheShow);
QRN_CLI_COMMAND("cache verify", "check the cache files against their validation hash",
                "usage: qrnauth cache verify\n"
                "Recomputes the validation hash of the cache files and compares it with\n"
                "the stored \"CacheValidation\" (the machine's, else the user's). Exit\n"
                "status 0 when they match, 1 when not.",
                CacheVerify);
