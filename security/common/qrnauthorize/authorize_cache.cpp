#include "security/common/qrnauthorize/authorize_cache.h"

#include <string>

#include "frame/config.h"
#include "frame/trail.h"
#include "platform/xml_component.h"
#include "security/common/qrnauthorize/com_helpers.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace {

using qrn::AddTrailEntry;
using qrn::authorizationTrail;
using qrn::kAuthorizeSource;

constexpr char kBuildPath[] = "InitCache.BuildAppls";
constexpr uint32_t kUrlBuffer = 256;
constexpr uint32_t kPathBuffer = 260;

constexpr int32_t kWebLine = 1241;
constexpr char kWebCalled[] = "GetWebPage";
constexpr char kWebStep[] = "Making Web Call ";
constexpr char kWebDetail[] = "Could not connect to the Web Page";

constexpr int32_t kCreateLine = 1251;
constexpr char kCreateCalled[] = "CoCreateInstance";
constexpr char kCreateStep[] = "Creating instance of IQrnXml";
constexpr char kCreateDetail[] = "Class not registered";

constexpr int32_t kParseLine = 1257;
constexpr char kParseCalled[] = "put_XmlString";
constexpr char kParseStep[] = "Parsing the XML string";
constexpr char kParseDetail[] = "Parsing failed";

constexpr int32_t kWriteLine = 1269;
constexpr char kWriteCalled[] = "QrnEncryptBufferAndPersistInFile";
constexpr char kWriteStep[] = "Writing the Secured Application Data in Cache";
constexpr char kWriteDetail[] = "Write operation failed";

}  // namespace

CQRNAuthorizeCache::~CQRNAuthorizeCache() {
  aclStore.ResetAcls();
  for (CQRNRole* role : roleList.roles) delete role;
  roleList.roles.clear();
  if (applicationDocument != nullptr) applicationDocument->Release();
  applicationDocument = nullptr;
}

HRESULT CQRNAuthorizeCache::TakeApplicationDocument(IUnknown* document) {
  IQrnXml2* fresh = nullptr;
  const HRESULT hr = document->QueryInterface(IID_IQrnXml2, reinterpret_cast<void**>(&fresh));
  if (FAILED(hr)) return hr;
  if (applicationDocument != nullptr) applicationDocument->Release();
  applicationDocument = fresh;
  return hr;
}

bool CQRNAuthorizeCache::BuildAppls() {
  char url[kUrlBuffer] = {};
  uint32_t size = sizeof url;
  if (FAILED(qrn::GetAuthUrl(url, &size))) return false;

  std::string page = qrn::SecurityParts().applications;
  if (page.empty()) {
    const std::string request = qrn::ApplicationsRequest(url);
    if (!qrn::GetWebPage(request, page, true)) {
      const std::string step = kWebStep + qrn::UrlWithoutUserInfo(request);
      AddTrailEntry(authorizationTrail, kAuthorizeSource, kWebLine, kBuildPath, kWebCalled,
                    step.c_str(), E_FAIL, kWebDetail);
      return false;
    }
  }
  // Only the first document of the answer counts.
  const std::string_view text = qrn::TerminatedText(page);

  IQrnXml2* raw = nullptr;
  HRESULT hr = AddTrailEntry(authorizationTrail, kAuthorizeSource, kCreateLine, kBuildPath,
                             kCreateCalled, kCreateStep,
                             CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                                              reinterpret_cast<void**>(&raw)),
                             kCreateDetail);
  if (FAILED(hr) || raw == nullptr) return false;
  qrn::ComRef<IQrnXml2> created(raw);

  hr = AddTrailEntry(authorizationTrail, kAuthorizeSource, kParseLine, kBuildPath, kParseCalled,
                     kParseStep, qrn::platform::PutXmlUtf8(created.get(), std::string(text)),
                     kParseDetail);
  if (FAILED(hr)) return false;

  char folder[kPathBuffer] = {};
  size = sizeof folder;
  if (FAILED(qrn::GetCachePath(folder, &size))) return false;
  hr = AddTrailEntry(
      authorizationTrail, kAuthorizeSource, kWriteLine, kBuildPath, kWriteCalled, kWriteStep,
      qrn::QrnEncryptBufferAndPersistInFile(text, std::string(folder) + qrn::kApplicationCacheFile),
      kWriteDetail);
  if (FAILED(hr)) return false;

  if (applicationDocument != nullptr) applicationDocument->Release();
  applicationDocument = created.release();
  return true;
}
