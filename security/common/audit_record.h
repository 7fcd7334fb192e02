// CQRNLog: one audit record of an authentication or authorization decision,
// posted to the security server.
//
// Posting is fire-and-forget: the server's answer is not used, and a failed
// post changes nothing for the caller (it may add entries to
// authorizationTrail). Records are posted only while the security server is
// in use (QrnGetCacheFlag gives 0). Which decisions are audited is the
// writers' business (the audit selector "LogInfoToServer").
//
//   CQRNLog record;
//   record.SetUser("SALES\\bob");
//   record.SetAction(CQRNLog::kAuthorization);
//   record.SetStatus(granted ? CQRNLog::kSuccess : CQRNLog::kFailed);
//   record.Write();
//
// A record lives on the stack of the operation that writes it. It blocks
// the calling thread while the request runs (bounded by the receive timeout
// of the web client).
#pragma once

#include <cstddef>
#include <string_view>

class CQRNLog {
 public:
  static constexpr char kAuthentication[] = "Authentication";
  static constexpr char kAuthorization[] = "Authorization";
  static constexpr char kSuccess[] = "Success";
  static constexpr char kFailed[] = "Failed";

  // serverUrl := the configured security page URL (empty when none is
  // configured); the other fields empty.
  CQRNLog();
  virtual ~CQRNLog();
  CQRNLog(const CQRNLog&) = default;
  CQRNLog& operator=(const CQRNLog&) = default;

  // Copy a text into a field, cut at a character boundary to fit with its
  // terminator.
  void SetUser(std::string_view text);
  void SetAction(std::string_view text);
  void SetStatus(std::string_view text);

  // Posts the record when the security server is in use; otherwise (local
  // cache, or the decision failing) sends nothing.
  void Write();
  // Builds the audit request (user canonicalised; computer from this
  // computer's name, "Unknown" when it cannot be had) and sends it with
  // error reporting on. Always true.
  bool Send();

  char user[256];
  char action[16];
  char status[16];
  char serverUrl[256];
};
