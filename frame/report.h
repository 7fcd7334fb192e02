// One way to report a step to an error trail.
//
// A subsystem describes each of its reporting steps once, as a constant Step
// (source line, called operation, step text, detail text), and keeps the
// table of its steps in one place. Where it reports (trail, source text,
// function path) is one constant Site. A reporting site is then one call:
//
//   constexpr qrn::Site kSite = {&qrn::authorizationTrail, kAuthorizeSource, "CheckAccess"};
//   constexpr qrn::Step kReadRoles = {2026, "GetUserRolesFromCache",
//                                     "Reading Roles from the Cache", "Cannot read Roles"};
//   return qrn::Report(kSite, kReadRoles, hr);
//
// Report passes the status on unchanged, like AddTrailEntry underneath it.
// A step whose text or detail is made at run time (a name appended) is the
// constant step with that one field replaced: kStep.WithText(text.c_str()).
#pragma once

#include <cstdint>

#include "frame/trail.h"

namespace qrn {

struct Step {
  int32_t line;
  const char* called;
  const char* text;
  const char* detail;

  constexpr Step WithText(const char* new_text) const { return {line, called, new_text, detail}; }
  constexpr Step WithDetail(const char* new_detail) const {
    return {line, called, text, new_detail};
  }
  constexpr Step AtLine(int32_t new_line) const { return {new_line, called, text, detail}; }
};

struct Site {
  ErrorTrail* trail;
  const char* source;    // the source text of the entries ("security/common/qrnauthorize")
  const char* function;  // the function path ("InitCache.GetUserRolesFromCache")

  constexpr Site In(const char* other_function) const { return {trail, source, other_function}; }
};

inline HRESULT Report(const Site& site, const Step& step, HRESULT status) {
  return AddTrailEntry(*site.trail, site.source, step.line, site.function, step.called, step.text,
                       status, step.detail);
}

}  // namespace qrn
