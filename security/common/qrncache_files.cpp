// Writing and reading the encrypted cache files.
#include "security/common/qrncache_files.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "frame/config.h"
#include "frame/report.h"
#include "platform/file_io.h"
#include "platform/xml_component.h"
#include "platform/text.h"
#include "security/common/com_owners.h"
#include "security/common/document_steps.h"
#include "security/common/qrncrypt.h"

namespace qrn {

namespace {

constexpr Site kSite = {&authorizationTrail, "security/common/qrncache",
                        "InitCache.QrnCheckCachedFiles.QrnGetXmlPointerFromEncryptedFile"};
constexpr Step kCreate = document_steps::kCreate.AtLine(958);
constexpr Step kParse = document_steps::kParse.AtLine(962);
constexpr Step kQuery = document_steps::kQuery.AtLine(966);

constexpr char kLineEnd[] = "\r\n";

// Encrypted text of a line, or empty when it has fewer than 2 characters.
std::string EncryptLine(std::string_view text) {
  return text.size() < 2 ? std::string() : EncryptString(text);
}

std::string DecryptLine(std::string_view line) {
  std::string plain;
  if (!DecryptString(line, &plain)) plain.clear();
  return plain;
}

// Decrypts and parses a cache file's text into a new component. report: a
// failing step is reported; else it is only returned (a read whose result
// may be thrown away).
HRESULT ReadDocument(const std::string& text, IQrnXml2** xml, bool report) {
  if (text.size() < 2) return S_OK;
  if (text.size() > static_cast<size_t>(INT_MAX)) return E_OUTOFMEMORY;
  auto step = [report](const Step& which, HRESULT hr) {
    return report ? Report(kSite, which, hr) : hr;
  };

  // Decrypted into one buffer of the largest size the text can decode to,
  // which the component then owns and parses in place. The text counts up
  // to its first NUL; a file that does not decode gives an empty text, which
  // then fails to parse.
  std::string plain(text.size() / 4 * 3 + 3, '\0');
  size_t length = 0;
  if (FAILED(DecryptText(nullptr, text.c_str(), plain.data(), static_cast<int>(plain.size()),
                         &length)))
    length = 0;
  plain.resize(length);

  IQrnXml2* created = nullptr;
  HRESULT hr = step(kCreate, CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                                              reinterpret_cast<void**>(&created)));
  if (FAILED(hr) || created == nullptr) return FAILED(hr) ? hr : E_FAIL;
  ComRef<IQrnXml2> component(created);

  hr = step(kParse, platform::PutXmlUtf8(component.get(), std::move(plain)));
  if (FAILED(hr)) return hr;

  return step(kQuery, component->QueryInterface(IID_IQrnXml2, reinterpret_cast<void**>(xml)));
}

}  // namespace

platform::FileLock::Result LockCacheFolder(platform::FileLock* lock,
                                           platform::FileLock::Mode mode) {
  try {
    char folder[260] = {};
    uint32_t size = sizeof folder;
    if (FAILED(GetCachePath(folder, &size))) return platform::FileLock::Result::kUnavailable;
    return lock->Acquire(
        std::string(folder) + kCacheLockFile, mode,
        mode == platform::FileLock::Mode::kShared ? kCacheReadLockMs : kCacheWriteLockMs);
  } catch (...) {
    return platform::FileLock::Result::kUnavailable;
  }
}

HRESULT EncryptAndPersistDocument(std::string_view document, const std::string& path,
                                  WrittenText* written) {
  written->bytes.reset();
  written->size = 0;
  try {
    if (document.size() < 2) return platform::ReplaceWholeFile(path, {}) ? S_OK : E_FAIL;
    if (document.size() > static_cast<size_t>(INT_MAX / 4 * 3 - 3)) return E_OUTOFMEMORY;
    // The document is read, not changed: no copy of it is made.
    const size_t room = (document.size() + 2) / 3 * 4 + 1;
    std::unique_ptr<char[]> out(new (std::nothrow) char[room]);
    if (!out) return E_OUTOFMEMORY;
    size_t size = 0;
    const HRESULT hr = EncryptTextFrom(document, out.get(), room, &size);
    if (FAILED(hr)) {
      // The file is left empty, as when nothing could be encrypted.
      if (!platform::ReplaceWholeFile(path, {})) return E_FAIL;
      return hr;
    }
    if (!platform::ReplaceWholeFile(path, std::string_view(out.get(), size))) return E_FAIL;
    written->bytes = std::move(out);
    written->size = size;
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT QrnEncryptBufferAndPersistInFile(std::string_view document, const std::string& path) {
  WrittenText written;
  return EncryptAndPersistDocument(document, path, &written);
}

HRESULT QrnGetXmlPointerFromEncryptedFile(const std::string& path, IQrnXml2** xml) {
  if (xml == nullptr) return E_INVALIDARG;
  if (*xml != nullptr) {
    (*xml)->Release();
    *xml = nullptr;
  }
  try {
    std::string text;
    if (!platform::ReadWholeFile(path, &text)) return E_FAIL;
    return ReadDocument(text, xml, true);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT QrnGetXmlPointerFromEncryptedText(const std::string& text, IQrnXml2** xml, bool report) {
  if (xml == nullptr) return E_INVALIDARG;
  if (*xml != nullptr) {
    (*xml)->Release();
    *xml = nullptr;
  }
  try {
    return ReadDocument(text, xml, report);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

std::string FormatTimestampFile(std::string_view timestamp, std::string_view url) {
  return EncryptLine(timestamp) + kLineEnd + EncryptLine(url);
}

void ParseTimestampFile(std::string_view content, std::string* timestamp, std::string* url) {
  size_t end = content.find('\n');
  std::string_view first = content.substr(0, end);
  std::string_view second =
      end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  if (size_t next = second.find('\n'); next != std::string_view::npos)
    second = second.substr(0, next);
  if (!second.empty() && second.back() == '\r') second.remove_suffix(1);
  *timestamp = DecryptLine(first);
  *url = DecryptLine(second);
}

bool WriteTimestampFile(const std::string& path, std::string_view timestamp, std::string_view url) {
  try {
    return platform::ReplaceWholeFile(path, FormatTimestampFile(timestamp, url));
  } catch (...) {
    return false;
  }
}

bool ReadTimestampFile(const std::string& path, std::string* timestamp, std::string* url) {
  timestamp->clear();
  url->clear();
  try {
    std::string content;
    if (!platform::ReadWholeFile(path, &content)) return false;
    ParseTimestampFile(content, timestamp, url);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace qrn
