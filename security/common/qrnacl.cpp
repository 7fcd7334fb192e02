// The ACL store and the evaluation of ACL texts.
#include "security/common/qrnacl.h"

#include <climits>
#include <cstring>
#include <memory>

#include "frame/config.h"
#include "frame/report.h"
#include "platform/text.h"
#include "platform/xml_component.h"
#include "security/common/com_owners.h"
#include "security/common/document_steps.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace qrn {

namespace {

constexpr Site kSite = {&authorizationTrail, kAclSource, "InitCache.BuildACL.BuildACLFromWeb"};
constexpr Step kCreate = document_steps::kCreate.AtLine(765);
constexpr Step kWrite = document_steps::kWriteAcls;

constexpr uint32_t kPathBuffer = 260;

bool IsAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) & 0x80) return false;
  return true;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// strtol in base 10 with a 32-bit long: the value clamps at the range.
int32_t ConvertMask(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool SingleBit(uint32_t access) { return access != 0 && (access & (access - 1)) == 0; }

}  // namespace

AclEntries ParseAclText(std::string_view text) {
  AclEntries entries;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(';', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view item = text.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty()) continue;

    AclEntry entry;
    const size_t colon = item.find(':');
    const std::string_view name =
        colon == std::string_view::npos ? std::string_view() : item.substr(0, colon);
    entry.name.assign(name);
    entry.ascii = IsAscii(name);
    if (!entry.ascii) entry.folded = platform::FoldCase(name);
    const std::string_view mask =
        colon == std::string_view::npos ? std::string_view() : item.substr(colon + 1);
    if (mask.empty()) {
      entry.kind = AclEntry::kNoMask;
    } else {
      const int32_t value = ConvertMask(mask);
      if (value == INT32_MAX || value == INT32_MIN) {
        entry.kind = AclEntry::kNoDecision;
      } else {
        entry.kind = AclEntry::kMask;
        entry.mask = static_cast<uint32_t>(value);
      }
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

const AclEntry* DecidingAclEntry(const AclEntries& entries, std::string_view role) {
  const bool role_ascii = IsAscii(role);
  std::string role_folded;  // made once, only when a non-ASCII side needs it
  bool folded_made = false;
  for (const AclEntry& entry : entries) {
    bool same;
    if (role_ascii && entry.ascii) {
      same = EqualsAsciiNoCase(entry.name, role);
    } else {
      if (!folded_made) {
        role_folded = platform::FoldCase(role);
        folded_made = true;
      }
      // An ASCII name folds to its lower case, which a folded non-ASCII
      // byte never equals.
      same = entry.ascii ? EqualsAsciiNoCase(entry.name, role_folded) : entry.folded == role_folded;
    }
    // Only the first entry with the role's name is read.
    if (same) return &entry;
  }
  return nullptr;
}

bool AclEntryAllows(const AclEntry& entry, uint32_t access) {
  return entry.kind == AclEntry::kMask && SingleBit(access) && (entry.mask & access) != 0;
}

bool AclEntriesAllow(const AclEntries& entries, std::string_view role, uint32_t access) {
  const AclEntry* entry = DecidingAclEntry(entries, role);
  return entry != nullptr && AclEntryAllows(*entry, access);
}

bool EvaluateAclText(std::string_view text, std::string_view role, uint32_t access) {
  return AclEntriesAllow(ParseAclText(text), role, access);
}

CQRNAclStore::CQRNAclStore() {
  try {
    uint32_t size = sizeof serverUrl;
    if (FAILED(GetAuthUrl(serverUrl, &size))) serverUrl[0] = '\0';
  } catch (...) {
    serverUrl[0] = '\0';
  }
  serverUrl[sizeof serverUrl - 1] = '\0';
}

CQRNAclStore::~CQRNAclStore() { ResetAcls(); }

bool CQRNAclStore::BuildACLFromWeb(const char* /*ignored*/, int16_t use_given, IUnknown* document) {
  try {
    char folder[kPathBuffer] = {};
    uint32_t size = sizeof folder;
    if (FAILED(GetCachePath(folder, &size))) return false;
    const std::string path = std::string(folder) + kAclCacheFile;

    if (aclDocument != nullptr) {
      aclDocument->Release();
      aclDocument = nullptr;
    }

    if (use_given == -1 && document != nullptr) {
      return SUCCEEDED(
                 document->QueryInterface(IID_IQrnXml, reinterpret_cast<void**>(&aclDocument))) &&
             aclDocument != nullptr;
    }

    HRESULT hr = Report(kSite, kCreate,
                        CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml,
                                         reinterpret_cast<void**>(&aclDocument)));
    if (FAILED(hr) || aclDocument == nullptr) return false;

    std::string page = SecurityParts().acls;
    if (page.empty() && !GetWebPage(AclRequest(serverUrl), page, true)) return false;

    // Only the first document is parsed and cached.
    const size_t end = page.find(kDocumentEnd);
    if (end != std::string::npos && end + sizeof kDocumentEnd - 1 < page.size())
      page.resize(end + sizeof kDocumentEnd - 1);

    if (FAILED(platform::PutXmlUtf8(aclDocument, page))) return false;

    hr = Report(kSite, kWrite, QrnEncryptBufferAndPersistInFile(page, path));
    return SUCCEEDED(hr);
  } catch (...) {
    return false;
  }
}

const AclEntries& CQRNAclStore::LookupKey(std::string_view key) {
  if (lastKey != nullptr && *lastKey == key) return *lastEntries;
  if (auto found = aclByKey.find(key); found != aclByKey.end()) {
    lastKey = &found->first;
    lastEntries = &found->second;
    return found->second;
  }

  // Remembered before the document is asked, so a key without ACL (or one
  // whose lookup fails) reaches the document only once.
  auto inserted = aclByKey.emplace(std::string(key), AclEntries()).first;
  lastKey = &inserted->first;
  lastEntries = &inserted->second;
  AclEntries& entries = inserted->second;
  if (aclDocument == nullptr) return entries;

  BSTR value = nullptr;
  const HRESULT hr = aclDocument->LookupValue(MakeBstrRef(key).get(), &value);
  BstrRef owned(value);
  if (FAILED(hr) || value == nullptr) return entries;
  const std::string encrypted = platform::Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(value), SysStringLen(value)));
  owned.reset();
  if (encrypted.empty() || encrypted[0] == '\0') return entries;

  // Decrypted into a zero-filled buffer and read as terminated text; a value
  // that does not decrypt reads as the empty text.
  std::unique_ptr<char[]> plain(new char[encrypted.size() + 1]());
  size_t length = 0;
  (void)DecryptText(nullptr, encrypted.c_str(), plain.get(), static_cast<int>(encrypted.size()),
                    &length);
  entries = ParseAclText(std::string_view(plain.get(), strnlen(plain.get(), encrypted.size())));
  return entries;
}

bool CQRNAclStore::AclAllows(const char* role, const char* key, uint32_t access) {
  try {
    const AclEntries& entries = LookupKey(key != nullptr ? key : "");
    if (role == nullptr || entries.empty()) return false;
    return AclEntriesAllow(entries, role, access);
  } catch (...) {
    return false;
  }
}

bool CQRNAclStore::AclAllows(const char* role, const char* key, uint32_t access,
                             const AclEntries** entries, const AclEntry** decided) {
  *entries = nullptr;
  *decided = nullptr;
  try {
    const AclEntries& found = LookupKey(key != nullptr ? key : "");
    if (!found.empty()) *entries = &found;
    if (role == nullptr || found.empty()) return false;
    *decided = DecidingAclEntry(found, role);
    return *decided != nullptr && AclEntryAllows(**decided, access);
  } catch (...) {
    return false;
  }
}

void CQRNAclStore::ResetAcls() {
  lastKey = nullptr;
  lastEntries = nullptr;
  try {
    aclByKey.clear();
    if (aclDocument != nullptr) aclDocument->Release();
  } catch (...) {
  }
  aclDocument = nullptr;
}

}  // namespace qrn
