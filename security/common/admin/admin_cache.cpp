// The administration interface's look into the cache folder: the files a
// load reads, read the way it reads them, and the validation hash.
#include <string>
#include <vector>

#include "platform/text.h"
#include "qrnauth/admin.h"
#include "qrnauth/qrnxml.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"
#include "security/common/server_requests.h"

namespace qrn::admin {
namespace {

CacheFileInfo InspectDocument(const std::string& folder, const char* name) {
  CacheFileInfo info;
  info.name = name;
  const std::string path = folder + name;
  std::string content;
  info.read = ReadFileChecked(path, &content);
  if (info.read.state != FileState::kRead) return info;
  info.bytes = content.size();
  if (content.size() < 2) {
    info.empty = true;
    return info;
  }
  std::string plain;
  info.decrypts = DecryptString(content, &plain);
  if (info.decrypts) {
    IQrnXml2* document = nullptr;
    info.parses = SUCCEEDED(QrnGetXmlPointerFromEncryptedFile(path, &document)) &&
                  document != nullptr;
    if (document != nullptr) document->Release();
  }
  return info;
}

CacheFileInfo InspectTimestamp(const std::string& folder) {
  CacheFileInfo info;
  info.name = kTimestampFile;
  std::string content;
  info.read = ReadFileChecked(folder + kTimestampFile, &content);
  if (info.read.state != FileState::kRead) return info;
  info.bytes = content.size();
  ParseTimestampFile(content, &info.timestamp, &info.url);
  return info;
}

}  // namespace

std::vector<std::string> CacheDocumentFiles() {
  return {kApplicationCacheFile, kRoleCacheFile, kAclCacheFile};
}

std::string CacheTimestampFile() { return kTimestampFile; }

std::vector<CacheFileInfo> InspectCacheFolder(const std::string& folder) {
  std::vector<CacheFileInfo> files;
  for (const char* name : {kApplicationCacheFile, kRoleCacheFile, kAclCacheFile})
    files.push_back(InspectDocument(folder, name));
  files.push_back(InspectTimestamp(folder));
  return files;
}

bool IsTimestampFile(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return platform::EqualsNoCase(slash == std::string::npos ? path : path.substr(slash + 1),
                                kTimestampFile);
}

void ParseTimestampFile(std::string_view content, std::string* timestamp, std::string* url) {
  std::string full_url;
  qrn::ParseTimestampFile(content, timestamp, &full_url);
  // Files written by older versions may hold a password in the URL.
  *url = UrlWithoutUserInfo(full_url);
}

std::string EncryptCacheText(std::string_view plain) { return EncryptString(plain); }

bool DecryptCacheText(std::string_view text, std::string* plain) {
  return DecryptString(text, plain);
}

CacheValidation VerifyCache() {
  CacheValidation check;
  check.has_stored = ReadStoredCacheValidation(&check.stored);
  if (!check.has_stored) check.stored.clear();
  check.result = QrnGetHashValue(&check.computed);
  if (FAILED(check.result)) check.computed.clear();
  check.valid = SUCCEEDED(check.result) && check.has_stored && !check.computed.empty() &&
                check.stored == check.computed;
  return check;
}

}  // namespace qrn::admin
