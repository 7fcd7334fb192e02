// The timestamp file "MvtCache.txt": the server timestamp the cache files
// were written for and the server URL they came from, each encrypted, on two
// lines. Written as the system writes it (CR LF between the lines, no line
// end after the second); read with CR LF or LF as the line end, so a cache
// folder copied from another machine reads here.
#include <algorithm>
#include <cstring>
#include <new>

#include "frame/config.h"
#include "platform/file_io.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"

namespace qrn {

namespace {

constexpr uint32_t kPathBuffer = 260;
// A text-mode line read takes at most this many characters.
constexpr size_t kLineLimit = 1023;

HRESULT CacheFolder(std::string* folder) {
  char buffer[kPathBuffer] = {};
  uint32_t size = sizeof buffer;
  const HRESULT hr = GetCachePath(buffer, &size);
  if (SUCCEEDED(hr)) folder->assign(buffer);
  return hr;
}

HRESULT AuthUrl(std::string* url) {
  char buffer[kPathBuffer] = {};
  uint32_t size = sizeof buffer;
  const HRESULT hr = GetAuthUrl(buffer, &size);
  if (SUCCEEDED(hr)) url->assign(buffer);
  return hr;
}

// The lines of the file as a text-mode read gives them, without their line
// ends (a CR LF or a lone LF). Only the first two are of interest.
struct TimestampLines {
  int count = 0;  // 0, 1 or 2
  std::string_view first, second;
};

std::string_view TakeLine(std::string_view* rest) {
  size_t end = rest->find('\n');
  std::string_view line = rest->substr(0, std::min(end, kLineLimit));
  *rest = end == std::string_view::npos ? std::string_view() : rest->substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

TimestampLines SplitLines(std::string_view content) {
  TimestampLines lines;
  if (content.empty()) return lines;
  lines.first = TakeLine(&content);
  lines.count = 1;
  if (content.empty()) return lines;
  lines.second = TakeLine(&content);
  lines.count = 2;
  return lines;
}

// Decrypts a line, read as terminated text.
bool DecryptLine(std::string_view line, std::string* plain) {
  if (!DecryptString(platform::TrimWhite(line), plain)) return false;
  plain->resize(strnlen(plain->data(), plain->size()));
  return true;
}

// The encrypted form of a line: empty for a text of fewer than 2 characters.
bool EncryptLine(std::string_view text, std::string* line) {
  line->clear();
  if (text.size() < 2) return true;
  *line = EncryptString(text);
  return !line->empty();
}

HRESULT ReadCacheTime(char* timestamp, unsigned int size, bool* matched) {
  std::string folder;
  HRESULT hr = CacheFolder(&folder);
  if (FAILED(hr)) return hr;
  std::string content;
  if (!platform::ReadWholeFile(folder + kTimestampFile, &content)) return S_OK;
  const TimestampLines lines = SplitLines(content);
  if (lines.count == 0 || lines.first.size() <= 1) return S_OK;

  std::string plain;
  if (!DecryptLine(lines.first, &plain)) return kUndecodableText;
  if (plain.size() >= size) return S_OK;
  if (timestamp == nullptr) return E_INVALIDARG;
  std::memcpy(timestamp, plain.c_str(), plain.size() + 1);

  if (lines.count < 2 || lines.second.size() <= 1) return S_OK;
  std::string stored_url;
  if (!DecryptLine(lines.second, &stored_url)) return kUndecodableText;
  // Compared without user information: files written before it was left out
  // still match.
  std::string url;
  if (SUCCEEDED(AuthUrl(&url)) &&
      platform::EqualsNoCase(UrlWithoutUserInfo(stored_url), UrlWithoutUserInfo(url)))
    *matched = true;
  return S_OK;
}

}  // namespace

HRESULT WriteCacheTimeFile(const char* timestamp, bool* written) {
  *written = false;
  std::string folder;
  HRESULT hr = CacheFolder(&folder);
  if (FAILED(hr)) return hr;
  const std::string path = folder + kTimestampFile;

  std::string first;
  if (!EncryptLine(timestamp, &first)) {
    // As when the encryption fails after the file was opened: it is left
    // empty and no validation hash is stored.
    platform::ReplaceWholeFile(path, {});
    return E_FAIL;
  }
  std::string url;
  hr = AuthUrl(&url);
  // The URL is stored without user information: a password in the
  // configured URL never reaches the file.
  if (SUCCEEDED(hr)) url = UrlWithoutUserInfo(url);
  std::string second;
  if (SUCCEEDED(hr) && !EncryptLine(url, &second)) hr = E_FAIL;
  if (FAILED(hr)) {
    // The file keeps what was written before the failing step: the first line.
    platform::ReplaceWholeFile(path, first);
    return hr;
  }
  // A file that cannot be written stores nothing more; the cache then reads
  // as not valid at the next check, as the validation hash is not renewed.
  *written = platform::ReplaceWholeFile(path, first + "\r\n" + second);
  return S_OK;
}

HRESULT StoreCacheTime(const char* timestamp) {
  bool written = false;
  const HRESULT hr = WriteCacheTimeFile(timestamp, &written);
  if (FAILED(hr) || !written) return hr;
  return StoreCacheValidation();
}

namespace {

std::string ReadClientTimestamp() {
  static std::string folder;
  if (folder.empty() && FAILED(CacheFolder(&folder))) {
    folder.clear();
    return std::string();
  }
  std::string content;
  if (!platform::ReadWholeFile(folder + kTimestampFile, &content)) return std::string();
  const TimestampLines lines = SplitLines(content);
  if (lines.count == 0 || lines.first.size() <= 1) return std::string();
  std::string plain;
  if (!DecryptLine(lines.first, &plain)) return std::string();
  return platform::Utf16ToUtf8(platform::Utf8ToUtf16(plain));
}

}  // namespace

std::string GetClientTimestamp() {
  try {
    return ReadClientTimestamp();
  } catch (...) {
    return std::string();
  }
}

}  // namespace qrn

HRESULT CQRNAuthorize::GetCacheTime(char* timestamp, unsigned int& size) {
  bool matched = false;
  HRESULT hr = S_OK;
  try {
    hr = qrn::ReadCacheTime(timestamp, size, &matched);
  } catch (...) {
    matched = false;
    hr = E_UNEXPECTED;
  }
  if (!matched && timestamp != nullptr && size != 0) timestamp[0] = '\0';
  return hr;
}

HRESULT CQRNAuthorize::SetCacheTime(const char* timestamp) {
  if (timestamp == nullptr) return E_INVALIDARG;
  try {
    // Another process writing the set: this timestamp would be stored beside
    // documents it was not written for. As when the file cannot be created,
    // nothing is done.
    qrn::platform::FileLock lock;
    if (qrn::LockCacheFolder(&lock, qrn::platform::FileLock::Mode::kExclusive) ==
        qrn::platform::FileLock::Result::kTimedOut)
      return S_OK;
    return qrn::StoreCacheTime(timestamp);
  } catch (...) {
    return E_UNEXPECTED;
  }
}
