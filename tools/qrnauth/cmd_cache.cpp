// qrnauth cache show [FILE] | cache verify: the encrypted cache files and
// their validation hash, for an administrator looking at a cache folder.
#include <iomanip>
#include <iostream>
#include <string>

#include "frame/config.h"
#include "platform/file_io.h"
#include "platform/text.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"
#include "tools/qrnauth/command.h"

namespace {

using qrn::cli::Arguments;
using qrn::cli::CommandError;

constexpr uint32_t kPathBuffer = 260;
constexpr const char* kDocumentFiles[] = {qrn::kApplicationCacheFile, qrn::kRoleCacheFile,
                                          qrn::kAclCacheFile};

std::string CacheFolder() {
  char folder[kPathBuffer];
  uint32_t size = sizeof folder;
  const HRESULT hr = qrn::GetCachePath(folder, &size);
  if (FAILED(hr)) throw CommandError("no cache folder: " + qrn::cli::FormatHresult(hr));
  return folder;
}

bool IsTimestampFile(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return qrn::platform::EqualsNoCase(slash == std::string::npos ? path : path.substr(slash + 1),
                                     qrn::kTimestampFile);
}

// Reads a cache file as the library does (no links, regular files only, at
// most kMaxCacheFileBytes); prints "missing" or "unusable: why" when it
// cannot.
bool ReadCacheFile(const std::string& path, std::string* content) {
  const qrn::platform::FileResult read = qrn::platform::ReadFileChecked(path, content);
  if (read.ok()) return true;
  if (read.error == qrn::platform::FileError::kMissing) {
    std::cout << "missing\n";
  } else {
    std::cout << "unusable: " << read.Describe() << "\n";
  }
  return false;
}

// A document file decrypts when it is empty or valid text of the cache
// alphabet, and parses when the XML component takes its plain text.
void ShowDocumentState(const std::string& folder, const char* name) {
  const std::string path = folder + name;
  std::string content;
  std::cout << std::left << std::setw(14) << name << " ";
  if (!ReadCacheFile(path, &content)) return;
  std::cout << "present " << content.size() << " bytes";
  if (content.size() < 2) {
    std::cout << " empty\n";
    return;
  }
  std::string plain;
  const bool decrypts = qrn::DecryptString(content, &plain);
  IQrnXml2* document = nullptr;
  const bool parses = decrypts &&
                      SUCCEEDED(qrn::QrnGetXmlPointerFromEncryptedFile(path, &document)) &&
                      document != nullptr;
  if (document != nullptr) document->Release();
  std::cout << " decrypts: " << (decrypts ? "yes" : "no") << " parses: " << (parses ? "yes" : "no")
            << "\n";
}

void ShowTimestampState(const std::string& folder) {
  const std::string path = folder + qrn::kTimestampFile;
  std::string content;
  std::cout << std::left << std::setw(14) << qrn::kTimestampFile << " ";
  if (!ReadCacheFile(path, &content)) return;
  std::string timestamp, url;
  qrn::ParseTimestampFile(content, &timestamp, &url);
  // Never a password: files written by older versions may hold one.
  std::cout << "present " << content.size() << " bytes timestamp: " << timestamp
            << " url: " << qrn::UrlWithoutUserInfo(url) << "\n";
}

int CacheShow(Arguments& args) {
  std::optional<std::string> file = args.NextOptional();
  args.Finish();
  if (!file) {
    const std::string folder = CacheFolder();
    std::cout << "cache-folder: " << folder << "\n";
    for (const char* name : kDocumentFiles) ShowDocumentState(folder, name);
    ShowTimestampState(folder);
    return qrn::cli::kExitOk;
  }

  const std::string path = file->find('/') == std::string::npos ? CacheFolder() + *file : *file;
  std::string content;
  // The same reader as the library's: a link, FIFO or device named here is
  // refused rather than followed or waited on.
  const qrn::platform::FileResult read = qrn::platform::ReadFileChecked(path, &content);
  if (!read.ok()) throw CommandError("cannot read " + path + ": " + read.Describe());
  if (IsTimestampFile(path)) {
    std::string timestamp, url;
    qrn::ParseTimestampFile(content, &timestamp, &url);
    std::cout << "timestamp: " << timestamp << "\nurl: " << qrn::UrlWithoutUserInfo(url) << "\n";
    return qrn::cli::kExitOk;
  }
  std::string plain;
  if (!qrn::DecryptString(qrn::platform::TrimWhite(content), &plain))
    throw CommandError(path + " is not an encrypted cache file (invalid base64)");
  std::cout << plain;
  if (!plain.empty() && plain.back() != '\n') std::cout << "\n";
  return qrn::cli::kExitOk;
}

int CacheVerify(Arguments& args) {
  args.Finish();
  std::string stored;
  const bool has_stored = qrn::ReadStoredCacheValidation(&stored);
  std::string computed;
  const HRESULT hr = qrn::QrnGetHashValue(&computed);
  if (FAILED(hr)) throw CommandError("the hash cannot be computed: " + qrn::cli::FormatHresult(hr));
  const bool valid = has_stored && !computed.empty() && stored == computed;
  std::cout << "stored: " << (has_stored ? stored : "(none)") << "\n"
            << "computed: " << (computed.empty() ? "(a cache file is missing)" : computed) << "\n"
            << "valid: " << (valid ? "yes" : "no") << "\n";
  return valid ? qrn::cli::kExitOk : qrn::cli::kExitNo;
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
