// The two process-wide error trails and the reporting entry point.
//
// A reporting site calls AddTrailEntry with fixed texts and gets its status
// back, so it can report and pass the status on in one expression:
//
//   return AddTrailEntry(authorizationTrail, "security/common/qrncache", 488,
//                        "InitCache.QrnGetCacheFlag", "QrnCheckServerAvailability",
//                        "Checking if MVT Server is available", hr, "...");
//
// A report is recorded only when its status is not 0, or when its step text is
// exactly "Checking if MVT Server is available". Each trail keeps the first
// six recorded entries, in a 6 x 4 SAFEARRAY of VARIANT (VT 0x200C): column 0
// step text, 1 status (VT_I4), 2 detail text, 3 source text
// "file(line):function.called". Every recorded entry is also written to the
// event log when event logging is on. Reports to one trail are serialised by
// a lock of the trail; reporting never throws and never fails the caller.
#pragma once

#include <cstdint>
#include <mutex>

#include "qrnauth/oleauto.h"

namespace qrn {

struct ErrorTrail {
  int32_t count;    // entries stored, 0 to 6
  VARIANT errors;   // VT_EMPTY until the first entry, then VT_ARRAY|VT_VARIANT
  BSTR source;      // source text of the report in progress
  std::mutex lock;  // serialises the reports to this trail
};

extern ErrorTrail authenticationTrail;  // subsystem 5
extern ErrorTrail authorizationTrail;   // subsystems 2, 3 and 4

constexpr char kServerAvailabilityStep[] = "Checking if MVT Server is available";

// Texts are UTF-8 (null stands for the empty text). Returns status unchanged.
HRESULT AddTrailEntry(ErrorTrail& trail, const char* source_file, int32_t line,
                      const char* function, const char* called, const char* step,
                      HRESULT status, const char* detail);

// Writes the event-log copy and stores the entry (see the header comment).
HRESULT StoreTrailEntry(ErrorTrail& trail, BSTR step, HRESULT status, BSTR detail);

// One event-log line when event logging is on; the formatted text is cut to
// fit 256 bytes (at a character boundary), never written past its buffer.
void ReportTrailEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qrn
