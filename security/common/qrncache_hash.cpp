// The validation hash of the cache files: computed over the four files as
// text, compared with and stored as "CacheValidation" in the registry.
#include <algorithm>
#include <cstring>
#include <new>
#include <thread>

#include "frame/config.h"
#include "frame/report.h"
#include "platform/crypto.h"
#include "platform/file_io.h"
#include "platform/registry.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"

namespace qrn {

namespace {

using platform::RegHive;
using platform::RegistryKey;

constexpr Site kHashSite = {&authorizationTrail, kCacheSource, "InitCache.QrnGetHashValue"};
constexpr uint32_t kCachePathBuffer = 260;
constexpr uint32_t kValidationBuffer = 128;
// Pieces of a text-mode read: at most this many characters each.
constexpr size_t kPieceSize = 1023;

struct HashedFile {
  const char* name;
  Step step;
};
constexpr Step kHashFile = {0, "QrnHashFileContents", "", "Failed to generate the Hash Value"};
constexpr HashedFile kHashedFiles[] = {
    {kApplicationCacheFile, kHashFile.AtLine(1127).WithText("Reading Contents from ApplCache.xml")},
    {kRoleCacheFile, kHashFile.AtLine(1138).WithText("Reading Contents from RoleCache.xml")},
    {kAclCacheFile, kHashFile.AtLine(1149).WithText("Reading Contents from AclCache.xml")},
    {kTimestampFile, kHashFile.AtLine(1160).WithText("Reading Contents from MvtCache.txt")},
};
constexpr Step kCachePath = {1094, "GetCachePath", "Reading the Cache path",
                             "Failed to read the Cache path"};
constexpr Step kContext = {1101, "QrnCryptAcquireContext", "Acquiring the Context",
                           "Failed to Acquire the Context"};
constexpr Step kCreate = {1116, "CryptCreateHash", "Creating the Hash Value",
                          "Failed to Create the Hash Value"};
constexpr Step kSalt = kCreate.AtLine(1182);

constexpr Site kCheckSite = kHashSite.In("InitCache.QrnCheckCachedFiles");
constexpr Step kCheck = {731, "QrnCheckHashValue", "Checking Hash Values from Cache files",
                         "Failed to get the Hash value"};

// The text of a file as a text-mode read delivers it: each CR LF becomes LF.
std::string TextModeContent(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text.push_back(raw[i]);
  }
  return text;
}

// Feeds raw file content to hash as a text-mode read in pieces delivers it
// (see QrnHashFileContents).
bool HashFileText(std::string_view raw, platform::Md5Hash* hash) {
  if (raw.empty()) return true;  // nothing to feed (and the view may hold no storage)
  uint32_t error = 0;
  if (std::memchr(raw.data(), '\0', raw.size()) == nullptr) {
    // Without a NUL every piece counts whole, so the pieces together are the
    // text-mode content: hashed straight from the file's bytes, in runs
    // between the CRs that a LF follows.
    size_t start = 0;
    for (;;) {
      const void* cr = std::memchr(raw.data() + start, '\r', raw.size() - start);
      size_t end = cr == nullptr ? raw.size() : static_cast<const char*>(cr) - raw.data();
      const bool pair = end + 1 < raw.size() && raw[end + 1] == '\n';
      if (cr != nullptr && !pair) end += 1;  // a lone CR stays in the run
      if (end > start && !hash->Update(raw.data() + start, end - start, &error)) return false;
      if (cr == nullptr || end >= raw.size()) return true;
      start = pair ? end + 1 : end;
    }
  }
  const std::string text = TextModeContent(raw);
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.size(), start + kPieceSize);
    // A piece ends after a line end; look for one only inside the piece, so
    // a long single-line file is hashed in linear time.
    const void* line_end = std::memchr(text.data() + start, '\n', end - start);
    if (line_end != nullptr) end = static_cast<const char*>(line_end) - text.data() + 1;
    const size_t counted = strnlen(text.data() + start, end - start);
    if (counted > 0 && !hash->Update(text.data() + start, counted, &error)) return false;
    start = end;
  }
  return true;
}

// QrnHashFileContents that keeps the file's content in *kept when not null.
HRESULT HashFile(const std::string& path, platform::Md5Hash* hash, bool* complete,
                 std::string* kept) {
  if (complete != nullptr) *complete = false;
  if (hash == nullptr) return E_INVALIDARG;
  try {
    std::string raw;
    if (!platform::ReadWholeFile(path, &raw)) return S_OK;
    if (!HashFileText(raw, hash)) return E_FAIL;
    if (kept != nullptr) *kept = std::move(raw);
    if (complete != nullptr) *complete = true;
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

bool ReadValidation(RegHive hive, std::string* value) {
  RegistryKey key;
  if (key.Open(hive, kSecurityKey) != platform::ERROR_SUCCESS) return false;
  return ReadStringValue(key, kCacheValidationValue, kValidationBuffer, value) && !value->empty();
}

// The cache folder and a new MD5 hash for the validation hash; each failing
// step reported.
HRESULT StartHash(std::string* folder, platform::Md5Hash* md5) {
  char folder_buffer[kCachePathBuffer] = {};
  uint32_t size = sizeof folder_buffer;
  HRESULT hr = GetCachePath(folder_buffer, &size);
  if (FAILED(hr)) {
    return Report(kHashSite, kCachePath, hr);
  }
  folder->assign(folder_buffer);

  platform::CryptoProvider* provider = QrnCryptAcquireContext();
  if (provider == nullptr) {
    return Report(kHashSite, kContext, E_FAIL);
  }
  uint32_t error = 0;
  if (!md5->Create(provider, &error)) {
    return Report(kHashSite, kCreate, E_FAIL);
  }
  return S_OK;
}

// The salt, the digest and its text form into *hash, without reporting;
// *salt_failed tells a failure to add the salt.
HRESULT SaltAndEncode(platform::Md5Hash* md5, std::string* hash, bool* salt_failed) {
  uint32_t error = 0;
  *salt_failed = !md5->Update(kCacheHashSalt, sizeof kCacheHashSalt - 1, &error);
  if (*salt_failed) return E_FAIL;
  uint8_t digest[platform::kMd5DigestSize];
  if (!md5->Finish(digest, &error)) return E_FAIL;
  char encoded[32] = {};
  const int length = Base64Encode(digest, sizeof digest, encoded, static_cast<int>(sizeof encoded),
                                  kCacheAlphabet);
  if (length < 0) return E_FAIL;
  hash->assign(encoded, static_cast<size_t>(length));
  return S_OK;
}

// SaltAndEncode, reporting a failure to add the salt.
HRESULT FinishHash(platform::Md5Hash* md5, std::string* hash) {
  bool salt_failed = false;
  const HRESULT hr = SaltAndEncode(md5, hash, &salt_failed);
  return salt_failed ? Report(kHashSite, kSalt, hr) : hr;
}

// Stores hash as "CacheValidation" in the user's and the machine's hive
// (each skipped when its key cannot be made).
void StoreValidation(const std::string& hash) {
  for (RegHive hive : {RegHive::CurrentUser, RegHive::LocalMachine}) {
    RegistryKey key;
    if (key.Create(hive, kSecurityKey) != platform::ERROR_SUCCESS) continue;
    (void)key.SetString(kCacheValidationValue, hash);
  }
}

// The hash of the four files; kept, when not null, receives the contents of
// the three document files as they were hashed.
HRESULT ComputeHash(std::string* hash, std::string (*kept)[3]) {
  std::string folder;
  platform::Md5Hash md5;
  HRESULT hr = StartHash(&folder, &md5);
  if (FAILED(hr)) return hr;

  for (size_t f = 0; f < std::size(kHashedFiles); ++f) {
    const HashedFile& file = kHashedFiles[f];
    bool complete = false;
    std::string* keep = kept != nullptr && f < 3 ? &(*kept)[f] : nullptr;
    hr = Report(kHashSite, file.step, HashFile(folder + file.name, &md5, &complete, keep));
    if (FAILED(hr)) return hr;
    if (!complete) return S_OK;
  }
  return FinishHash(&md5, hash);
}

HRESULT HashValue(std::string* hash, std::string (*kept)[3]) {
  if (hash == nullptr) return E_INVALIDARG;
  hash->clear();
  try {
    return ComputeHash(hash, kept);
  } catch (const std::bad_alloc&) {
    hash->clear();
    return E_OUTOFMEMORY;
  } catch (...) {
    hash->clear();
    return E_UNEXPECTED;
  }
}

HRESULT CheckHash(bool* valid, std::string (*kept)[3]) {
  if (valid == nullptr) return E_INVALIDARG;
  *valid = false;
  try {
    std::string stored;
    if (!ReadStoredCacheValidation(&stored)) return S_OK;
    std::string computed;
    const HRESULT hr = HashValue(&computed, kept);
    if (FAILED(hr)) return hr;
    *valid = !computed.empty() && stored == computed;
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// The validation hash of the four files' contents (already read), without
// reporting: *failed is the index of the file whose hashing failed, 4 for
// the salt, or -1.
HRESULT DigestContents(platform::Md5Hash* md5, const std::string (&contents)[4], std::string* hash,
                       int* failed) {
  *failed = -1;
  try {
    for (int f = 0; f < 4; ++f) {
      if (!HashFileText(contents[f], md5)) {
        *failed = f;
        return E_FAIL;
      }
    }
    bool salt_failed = false;
    const HRESULT hr = SaltAndEncode(md5, hash, &salt_failed);
    if (salt_failed) *failed = 4;
    return hr;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

void ReleaseAll(IQrnXml2* (&loaded)[3]) {
  for (IQrnXml2*& object : loaded) {
    if (object != nullptr) object->Release();
    object = nullptr;
  }
}

HRESULT LoadCachedFiles(int16_t* status, IQrnXml2** application, IQrnXml2** role, IQrnXml2** acl) {
  // The documents are decrypted from the very bytes that were hashed: one
  // read of each file, and no window for a file to change in between. The
  // hash (MD5, as fast as the decryption) is taken on a second thread while
  // this one decrypts and parses; the documents are kept only when the hash
  // then matches, and their failures are reported only then, so the trail
  // reads as if the hash had come first.
  std::string stored;
  if (!ReadStoredCacheValidation(&stored)) return S_OK;
  std::string folder;
  platform::Md5Hash md5;
  HRESULT hr = Report(kCheckSite, kCheck, StartHash(&folder, &md5));
  if (FAILED(hr)) return hr;
  std::string contents[4];
  for (size_t f = 0; f < std::size(kHashedFiles); ++f) {
    // An unreadable file leaves the folder invalid, as a hash over it does.
    bool complete = false;
    try {
      complete = platform::ReadWholeFile(folder + kHashedFiles[f].name, &contents[f]);
    } catch (...) {
      return Report(kCheckSite, kCheck, Report(kHashSite, kHashedFiles[f].step, E_UNEXPECTED));
    }
    if (!complete) return S_OK;
  }

  std::string computed;
  int failed = -1;
  HRESULT hashed = E_FAIL;
  auto digest = [&] { hashed = DigestContents(&md5, contents, &computed, &failed); };
  std::thread hasher;
  try {
    hasher = std::thread(digest);
  } catch (...) {
    digest();  // no second thread: the hash first, as one thread does it
  }

  IQrnXml2* loaded[3] = {nullptr, nullptr, nullptr};
  HRESULT read[3] = {S_OK, S_OK, S_OK};
  try {
    for (int i = 0; i < 3; ++i)
      read[i] = QrnGetXmlPointerFromEncryptedText(contents[i], &loaded[i], false);
  } catch (...) {
    if (hasher.joinable()) hasher.join();
    ReleaseAll(loaded);
    throw;
  }
  if (hasher.joinable()) hasher.join();

  if (FAILED(hashed)) {
    ReleaseAll(loaded);
    if (failed >= 0 && failed < 4) Report(kHashSite, kHashedFiles[failed].step, hashed);
    if (failed == 4) Report(kHashSite, kSalt, hashed);
    return Report(kCheckSite, kCheck, hashed);
  }
  if (computed.empty() || computed != stored) {
    ReleaseAll(loaded);
    return S_OK;
  }
  for (int i = 0; i < 3; ++i) {
    if (SUCCEEDED(read[i])) continue;
    // Read again, reporting, for the trail of the failing step.
    ReleaseAll(loaded);
    IQrnXml2* again = nullptr;
    hr = QrnGetXmlPointerFromEncryptedText(contents[i], &again);
    if (again != nullptr) again->Release();
    return FAILED(hr) ? hr : read[i];
  }
  *application = loaded[0];
  *role = loaded[1];
  *acl = loaded[2];
  *status = 1;
  return S_OK;
}

void ReleaseOut(IQrnXml2** out) {
  if (*out != nullptr) {
    (*out)->Release();
    *out = nullptr;
  }
}

}  // namespace

HRESULT QrnHashFileContents(const std::string& path, platform::Md5Hash* hash, bool* complete) {
  return HashFile(path, hash, complete, nullptr);
}

HRESULT QrnGetHashValue(std::string* hash) { return HashValue(hash, nullptr); }

bool ReadStoredCacheValidation(std::string* value) {
  value->clear();
  // HKLM's value counts first; when its key does not open, HKCU's key is
  // the one read.
  if (ReadValidation(RegHive::LocalMachine, value)) return true;
  value->clear();
  if (ReadValidation(RegHive::CurrentUser, value)) return true;
  value->clear();
  return false;
}

HRESULT QrnCheckHashValue(bool* valid) { return CheckHash(valid, nullptr); }

HRESULT StoreCacheValidation() {
  try {
    std::string hash;
    const HRESULT hr = QrnGetHashValue(&hash);
    if (FAILED(hr)) return hr;
    if (!hash.empty()) StoreValidation(hash);
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT QrnCheckCachedFiles(int16_t* status, IQrnXml2** application, IQrnXml2** role,
                            IQrnXml2** acl) {
  if (status != nullptr) *status = -1;
  if (status == nullptr || application == nullptr || role == nullptr || acl == nullptr)
    return E_INVALIDARG;
  ReleaseOut(application);
  ReleaseOut(role);
  ReleaseOut(acl);
  try {
    return LoadCachedFiles(status, application, role, acl);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

namespace {

// The hash of a set just written: the document files from their bytes, the
// timestamp file from disk. Each step fails, reports and stops as in
// ComputeHash; a document no reader would take (over the size limit) gives
// an empty hash, as the read-back would.
HRESULT ComputeWrittenHash(const std::string_view (&documents)[3], std::string* hash) {
  std::string folder;
  platform::Md5Hash md5;
  HRESULT hr = StartHash(&folder, &md5);
  if (FAILED(hr)) return hr;

  for (size_t f = 0; f < std::size(documents); ++f) {
    const std::string_view raw = documents[f];
    if (raw.size() > platform::kMaxCacheFileBytes) return S_OK;
    const bool hashed = HashFileText(raw, &md5);
    hr = Report(kHashSite, kHashedFiles[f].step, hashed ? S_OK : E_FAIL);
    if (FAILED(hr)) return hr;
  }
  bool complete = false;
  const HashedFile& timestamp = kHashedFiles[3];
  hr = Report(kHashSite, timestamp.step,
              HashFile(folder + timestamp.name, &md5, &complete, nullptr));
  if (FAILED(hr) || !complete) return hr;
  return FinishHash(&md5, hash);
}

}  // namespace

HRESULT StoreCacheValidationOfWritten(const std::string_view (&documents)[3]) {
  try {
    std::string hash;
    const HRESULT hr = ComputeWrittenHash(documents, &hash);
    if (FAILED(hr)) return hr;
    if (!hash.empty()) StoreValidation(hash);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace qrn
