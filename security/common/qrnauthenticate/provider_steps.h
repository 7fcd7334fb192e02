// What every handshake step shares: conversion between the object's handle
// words and the provider's handles, the meaning of the provider's step
// statuses, releasing a side's handles before a new conversation, and the
// trail entries of a failed server step.
#pragma once

#include <cstdint>

#include "frame/report.h"
#include "platform/sspi.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/auth_credentials.h"

namespace qrn::handshake {

inline platform::SecHandle ToProvider(const QrnSecHandle& h) { return {h.dwLower, h.dwUpper}; }
inline QrnSecHandle FromProvider(const platform::SecHandle& h) { return {h.dwLower, h.dwUpper}; }

inline bool IsComplete(platform::SECURITY_STATUS status) {
  return status == platform::SEC_I_COMPLETE_NEEDED ||
         status == platform::SEC_I_COMPLETE_AND_CONTINUE;
}
inline bool AsksForMore(platform::SECURITY_STATUS status) {
  return status == platform::SEC_I_CONTINUE_NEEDED ||
         status == platform::SEC_I_COMPLETE_AND_CONTINUE;
}

// A new conversation replaces the handles a side holds: release them first,
// so that repeated conversations on one record do not pile up provider state.
inline void ReleaseSide(platform::SecurityFunctionTableA* table, _AUTH_SEQ& seq) {
  if (seq.haveContext) {
    platform::SecHandle h = ToProvider(seq.context);
    if (table->DeleteSecurityContext != nullptr) table->DeleteSecurityContext(&h);
    seq.haveContext = false;
  }
  if (seq.haveCredentials) {
    platform::SecHandle h = ToProvider(seq.credentials);
    if (table->FreeCredentialsHandle != nullptr) table->FreeCredentialsHandle(&h);
    seq.haveCredentials = false;
  }
}

// The trail lines of the four provider failures of a server step, in the
// order invalid token, invalid handle, logon denied, internal error.
struct AcceptFailureLines {
  int32_t invalid_token, invalid_handle, logon_denied, internal_error;
};

// Reports a failed server step of `function` ("GenServerContext",
// "RpcAuthenticationServer") when its status is one of the four.
inline void ReportAcceptFailure(platform::SECURITY_STATUS status, const char* function,
                                const AcceptFailureLines& lines) {
  struct Row {
    platform::SECURITY_STATUS status;
    const char* detail;
    int32_t line;
  };
  const Row rows[] = {
      {platform::SEC_E_INVALID_TOKEN, "Invalid Token", lines.invalid_token},
      {platform::SEC_E_INVALID_HANDLE, "Invalid Handle", lines.invalid_handle},
      {platform::SEC_E_LOGON_DENIED, "Logon denied", lines.logon_denied},
      {platform::SEC_E_INTERNAL_ERROR, "Internal error", lines.internal_error},
  };
  for (const Row& row : rows) {
    if (row.status == status) {
      constexpr Step kAccept = {0, "AcceptSecurityContext", "Accepting Security Context", ""};
      Report({&authenticationTrail, kAuthenticateSource, function},
             kAccept.AtLine(row.line).WithDetail(row.detail), status);
      return;
    }
  }
}

}  // namespace qrn::handshake
