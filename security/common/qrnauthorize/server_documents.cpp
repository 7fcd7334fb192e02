#include "security/common/qrnauthorize/server_documents.h"

#include "frame/config.h"
#include "frame/report.h"
#include "platform/file_lock.h"
#include "platform/xml_component.h"
#include "security/common/document_steps.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace qrn {

namespace {

constexpr Site kSite = {&authorizationTrail, kAuthorizeSource, "InitCache"};
constexpr uint32_t kPathBuffer = 260;

struct DocumentKind {
  const char* name;      // in the trail texts
  const char* top;       // the element every such document holds
  bool cut_after_first;  // keep only the text up to the first "</DOCUMENT>"
};

constexpr DocumentKind kApplicationKind = {"Application", "QRNAPPLS", false};
constexpr DocumentKind kRoleKind = {"Role", "QRNROLES", false};
constexpr DocumentKind kAclKind = {"ACL", "QRNACLS", true};

constexpr Step kCacheTime = {1852, "SetCacheTime", "Setting the Cache time",
                             "Failed to set the Cache time"};
constexpr Step kBusy = {
    1840, "LockCacheFolder", "Locking the Local Cache folder",
    "Another process is writing the Local Cache; the Cache files were not rewritten"};

ServerDocumentFault Fault(const DocumentKind& kind, const char* called, const std::string& detail) {
  return {std::string("Checking the ") + kind.name + " document of the server", called, detail};
}

bool FetchOne(const DocumentKind& kind, const std::string& part, const std::string& request,
              std::string_view* text, std::string* page, ComRef<IQrnXml2>* document,
              ServerDocumentFault* fault) {
  std::string_view body = part;
  if (part.empty()) {
    page->clear();
    if (!GetWebPage(request, *page, true)) {
      *fault = Fault(kind, "GetWebPage", "Could not get the document from the server");
      return false;
    }
    body = *page;
  }
  body = TerminatedText(body);
  if (kind.cut_after_first) {
    const size_t end = body.find(kDocumentEnd);
    if (end != std::string_view::npos) body = body.substr(0, end + sizeof kDocumentEnd - 1);
  }
  *text = body;

  IQrnXml2* raw = nullptr;
  const HRESULT created = CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                                           reinterpret_cast<void**>(&raw));
  if (FAILED(created) || raw == nullptr) {
    *fault = Fault(kind, "CoCreateInstance", "Class not registered");
    return false;
  }
  ComRef<IQrnXml2> parsed(raw);
  // The component parses (and keeps) its own copy; the text stays for the
  // files.
  if (FAILED(platform::PutXmlUtf8(parsed.get(), std::string(body)))) {
    *fault = Fault(kind, "put_XmlString",
                   "The server's document does not parse (cut or not XML); nothing was stored");
    return false;
  }
  IDispatch* found = nullptr;
  const HRESULT hr = parsed->FindElement(nullptr, MakeBstrRef(kind.top).get(), &found);
  ComRef<IDispatch> found_owner(found);
  if (hr != S_OK || found == nullptr) {
    *fault = Fault(
        kind, "FindElement",
        std::string("The server's document has no ") + kind.top + " element; nothing was stored");
    return false;
  }
  *document = std::move(parsed);
  return true;
}

}  // namespace

bool FetchServerDocuments(ServerDocuments* documents, ServerDocumentFault* fault) {
  char url[kPathBuffer] = {};
  uint32_t size = sizeof url;
  if (FAILED(GetAuthUrl(url, &size))) {
    *fault = {"Reading the URL from the registry", "GetAuthUrl",
              "Failed to read the URL from registry"};
    return false;
  }
  const SecurityDataParts& parts = SecurityParts();
  return FetchOne(kApplicationKind, parts.applications, ApplicationsRequest(url),
                  &documents->application_text, &documents->application_page,
                  &documents->application, fault) &&
         FetchOne(kRoleKind, parts.roles, RolesRequest(url), &documents->roles_text,
                  &documents->roles_page, &documents->roles, fault) &&
         FetchOne(kAclKind, parts.acls, AclRequest(url), &documents->acl_text, &documents->acl_page,
                  &documents->acls, fault);
}

StoreOutcome StoreServerDocuments(const ServerDocuments& documents, const std::string& timestamp,
                                  HRESULT* status) {
  *status = S_OK;
  char folder[kPathBuffer] = {};
  uint32_t size = sizeof folder;
  HRESULT hr = GetCachePath(folder, &size);
  if (FAILED(hr)) {
    *status = hr;
    return StoreOutcome::kFailed;
  }

  platform::FileLock lock;
  if (LockCacheFolder(&lock, platform::FileLock::Mode::kExclusive) ==
      platform::FileLock::Result::kTimedOut) {
    Report(kSite, kBusy, S_FALSE);
    return StoreOutcome::kSkipped;
  }
  // A folder where the lock file cannot be made is written without it: the
  // writes below then fail or succeed as they would have.

  const struct {
    std::string_view text;
    const char* file;
    Step step;  // the step each document's own writer reports with
  } files[] = {
      {documents.application_text, kApplicationCacheFile, document_steps::kWriteApplications},
      {documents.roles_text, kRoleCacheFile, document_steps::kWriteRoles},
      {documents.acl_text, kAclCacheFile, document_steps::kWriteAcls}};
  // What each file was given is kept until the validation hash is taken
  // from it: the files are not read back.
  WrittenText written[std::size(files)];
  for (size_t f = 0; f < std::size(files); ++f) {
    hr = Report(
        kSite, files[f].step,
        EncryptAndPersistDocument(files[f].text, std::string(folder) + files[f].file, &written[f]));
    if (FAILED(hr)) {
      *status = hr;
      return StoreOutcome::kFailed;
    }
  }
  bool time_written = false;
  hr = WriteCacheTimeFile(timestamp.c_str(), &time_written);
  if (SUCCEEDED(hr) && time_written) {
    const std::string_view contents[3] = {written[0].view(), written[1].view(), written[2].view()};
    hr = StoreCacheValidationOfWritten(contents);
  }
  hr = Report(kSite, kCacheTime, hr);
  if (FAILED(hr)) {
    *status = hr;
    return StoreOutcome::kFailed;
  }
  return StoreOutcome::kStored;
}

}  // namespace qrn
