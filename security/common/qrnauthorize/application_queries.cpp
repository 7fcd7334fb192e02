// Queries on the application directory: identifiers by name and the lists
// of an application's groups and of a group's secured objects, answered from
// the application document that InitCache loaded.
#include <string>

#include "qrnauth/qrnauthorize.h"
#include "security/common/com_owners.h"
#include "security/common/qrnauthorize/application_document.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrnauthorize/steps.h"

namespace {

using qrn::ComRef;
using qrn::ElementRef;

constexpr qrn::Site kSite = qrn::authorize_steps::kSite.In("GetSecurityId");
constexpr qrn::Step kNoBuffer = {3412, "pbstrId", "Checking the return value Address",
                                 "No Return Value Buffer"};
constexpr qrn::Step kApplication = {3446, "GetApplication", "Retrieving Application ",
                                    "Cannot find the Application"};
constexpr qrn::Step kApplicationId = {3455, "GetApplicationId", "Getting the Application ID",
                                      "Cannot find the Application ID"};
constexpr qrn::Step kGroup = {3466, "GetGroup", "Retrieving Group ", "Cannot find the Group"};
constexpr qrn::Step kGroupId = {3475, "GetGroupId", "Getting the Group ID",
                                "Cannot find the Group ID"};
constexpr qrn::Step kObject = {3486, "GetSecObj", "Retrieving Secured Object ",
                               "Cannot find the Secured Object ID"};
constexpr qrn::Step kObjectId = {3493, "GetSecObjId", "Getting the Secured Object ID",
                                 "Cannot find the Secured Object ID"};

// The step text names what was looked for.
HRESULT Trail(const qrn::Step& step, HRESULT status,
              const std::string& name_suffix = std::string()) {
  const std::string text = step.text + name_suffix;
  return qrn::Report(kSite, step.WithText(text.c_str()), status);
}

// A reference of the query's own to the loaded document, or null.
ComRef<IQrnXml2> HeldDocument(CQRNAuthorizeCache* cache) {
  if (cache == nullptr || cache->applicationDocument == nullptr) return nullptr;
  cache->applicationDocument->AddRef();
  return ComRef<IQrnXml2>(cache->applicationDocument);
}

HRESULT GiveId(const std::string& id, HRESULT hr, BSTR* out) {
  if (SUCCEEDED(hr)) *out = qrn::NewBstr(id);
  return hr;
}

// Both results become empty BSTR vectors unless a list was already made.
HRESULT EmptyListsUnlessFilled(VARIANT* names, VARIANT* ids) {
  HRESULT hr = S_OK;
  if (names->vt == VT_EMPTY) hr = qrn::MakeBstrVector(names, 0);
  if (SUCCEEDED(hr) && ids->vt == VT_EMPTY) hr = qrn::MakeBstrVector(ids, 0);
  return hr;
}

}  // namespace

HRESULT CQRNAuthorize::GetSecurityId(BSTR application, BSTR group, BSTR secured_object, BSTR* id) {
  if (id == nullptr) return Trail(kNoBuffer, E_INVALIDARG);
  try {
    *id = nullptr;
    ComRef<IQrnXml2> xml = HeldDocument(cache);
    const std::string application_name = qrn::BstrText(application);
    if (!xml || application_name.empty()) return S_OK;

    ElementRef app;
    HRESULT hr = Trail(kApplication, qrn::GetApplication(xml.get(), application_name, &app),
                       application_name);
    if (FAILED(hr) || !app) return hr;

    std::string found;
    const std::string group_name = qrn::BstrText(group);
    if (group_name.empty()) {
      hr = Trail(kApplicationId, qrn::GetApplicationId(xml.get(), app.get(), &found));
      return GiveId(found, hr, id);
    }
    ElementRef grp;
    hr = Trail(kGroup, qrn::GetGroup(xml.get(), app.get(), group_name, &grp), group_name);
    if (FAILED(hr) || !grp) return hr;

    const std::string object_name = qrn::BstrText(secured_object);
    if (object_name.empty()) {
      hr = Trail(kGroupId, qrn::GetGroupId(xml.get(), grp.get(), &found));
      return GiveId(found, hr, id);
    }
    ElementRef object;
    hr = Trail(kObject, qrn::GetSecObj(xml.get(), grp.get(), object_name, &object), object_name);
    if (FAILED(hr) || !object) return hr;
    hr = Trail(kObjectId, qrn::GetSecObjId(xml.get(), object.get(), &found));
    return GiveId(found, hr, id);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CQRNAuthorize::GetSecureGroups(BSTR application, VARIANT* names, VARIANT* ids) {
  if (names == nullptr || ids == nullptr) return E_INVALIDARG;
  try {
    VariantInit(names);
    VariantInit(ids);
    if (application == nullptr) return E_INVALIDARG;
    ComRef<IQrnXml2> xml = HeldDocument(cache);
    if (!xml) return E_FAIL;

    ElementRef app;
    HRESULT hr = qrn::GetApplication(xml.get(), qrn::BstrText(application), &app);
    if (FAILED(hr)) return hr;
    if (app) {
      hr = qrn::GetApplGroups(xml.get(), app.get(), names, ids);
      if (FAILED(hr)) return hr;
    }
    const HRESULT made = EmptyListsUnlessFilled(names, ids);
    return FAILED(made) ? made : hr;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CQRNAuthorize::GetSecureGroupMembers(BSTR application, BSTR group, VARIANT* names,
                                             VARIANT* ids) {
  if (names == nullptr || ids == nullptr) return E_INVALIDARG;
  try {
    VariantInit(names);
    VariantInit(ids);
    if (application == nullptr || group == nullptr) return E_INVALIDARG;
    HRESULT hr = S_OK;
    ComRef<IQrnXml2> xml = HeldDocument(cache);
    if (xml) {
      ElementRef app;
      hr = qrn::GetApplication(xml.get(), qrn::BstrText(application), &app);
      if (FAILED(hr)) return hr;
      if (app)
        hr = qrn::GetApplGroupMembers(xml.get(), app.get(), qrn::BstrText(group), names, ids);
    }
    const HRESULT made = EmptyListsUnlessFilled(names, ids);
    return FAILED(made) ? made : hr;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CQRNAuthorize::SplitName(BSTR full_name, BSTR* first, BSTR* second, BSTR* third) {
  if (first == nullptr || second == nullptr || third == nullptr) return E_INVALIDARG;
  *first = *second = *third = nullptr;
  try {
    std::string parts[3];
    const HRESULT hr =
        qrn::SplitDottedName(qrn::BstrText(full_name), &parts[0], &parts[1], &parts[2]);
    BSTR* outs[3] = {first, second, third};
    for (int i = 0; i < 3; ++i)
      if (!parts[i].empty()) *outs[i] = qrn::NewBstr(parts[i]);
    return hr;
  } catch (...) {
    for (BSTR* out : {first, second, third}) {
      SysFreeString(*out);
      *out = nullptr;
    }
    return E_UNEXPECTED;
  }
}
