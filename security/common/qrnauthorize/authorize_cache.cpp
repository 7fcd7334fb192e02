#include "security/common/qrnauthorize/authorize_cache.h"

#include <string>

#include "frame/config.h"
#include "frame/report.h"
#include "platform/xml_component.h"
#include "security/common/com_owners.h"
#include "security/common/document_steps.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace {

using qrn::Report;
namespace steps = qrn::document_steps;

constexpr qrn::Site kSite = {&qrn::authorizationTrail, qrn::kAuthorizeSource,
                             "InitCache.BuildAppls"};
constexpr uint32_t kUrlBuffer = 256;
constexpr uint32_t kPathBuffer = 260;

constexpr qrn::Step kWeb = {1241, "GetWebPage", "Making Web Call ",
                            "Could not connect to the Web Page"};
constexpr qrn::Step kCreate = steps::kCreate.AtLine(1251);
constexpr qrn::Step kParse = steps::kParse.AtLine(1257);
constexpr qrn::Step kWrite = steps::kWriteApplications;

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
      const std::string step = kWeb.text + qrn::UrlWithoutUserInfo(request);
      Report(kSite, kWeb.WithText(step.c_str()), E_FAIL);
      return false;
    }
  }
  // Only the first document of the answer counts.
  const std::string_view text = qrn::TerminatedText(page);

  IQrnXml2* raw = nullptr;
  HRESULT hr = Report(kSite, kCreate,
                      CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                                       reinterpret_cast<void**>(&raw)));
  if (FAILED(hr) || raw == nullptr) return false;
  qrn::ComRef<IQrnXml2> created(raw);

  hr = Report(kSite, kParse, qrn::platform::PutXmlUtf8(created.get(), std::string(text)));
  if (FAILED(hr)) return false;

  char folder[kPathBuffer] = {};
  size = sizeof folder;
  if (FAILED(qrn::GetCachePath(folder, &size))) return false;
  hr = Report(kSite, kWrite,
              qrn::QrnEncryptBufferAndPersistInFile(
                  text, std::string(folder) + qrn::kApplicationCacheFile));
  if (FAILED(hr)) return false;

  if (applicationDocument != nullptr) applicationDocument->Release();
  applicationDocument = created.release();
  return true;
}
