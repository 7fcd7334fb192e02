// The error trails: the recording rule, the 6 x 4 entry array, the source
// text, the event-log copy and its limits.
#include "frame/trail.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "frame/config.h"
#include "platform/text.h"
#include "qrnauth/qrnauthenticate.h"
#include "qrnauth/qrnauthorize.h"
#include "tests/support/test_env.h"

namespace {

using qrn::AddTrailEntry;
using qrn::authenticationTrail;
using qrn::authorizationTrail;

constexpr char kFile[] = "security/common/qrncache";
constexpr char kReading[] = "Reading Cache files";
constexpr char kFailedRead[] = "Failed to read the Cache files";

std::string Utf8(BSTR b) {
  return qrn::platform::Utf16ToUtf8(std::u16string_view(b == nullptr ? u"" : b, SysStringLen(b)));
}

VARIANT Cell(const VARIANT* errors, LONG entry, LONG column) {
  VARIANT v;
  VariantInit(&v);
  LONG index[2] = {entry, column};
  EXPECT_EQ(SafeArrayGetElement(errors->parray, index, &v), S_OK);
  return v;
}

std::string TextCell(const VARIANT* errors, LONG entry, LONG column) {
  VARIANT v = Cell(errors, entry, column);
  EXPECT_EQ(v.vt, VT_BSTR);
  std::string text = Utf8(v.bstrVal);
  VariantClear(&v);
  return text;
}

LONG StatusCell(const VARIANT* errors, LONG entry) {
  VARIANT v = Cell(errors, entry, 1);
  EXPECT_EQ(v.vt, VT_I4);
  return v.lVal;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// A sandbox with "EventLogging" = 1 and the events sent to a file.
class EventLog {
 public:
  explicit EventLog(bool enabled) : path_(sandbox_.dir().File("events.log")) {
    sandbox_.WriteMachineHive(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n"
        "\"EventLogging\"=dword:0000000" +
        std::string(enabled ? "1" : "0") + "\r\n");
    setenv("QRNAUTH_EVENT_LOG", path_.c_str(), 1);
    bool novell = true;
    qrn::MvtIsNovellClient(&novell);  // reads "EventLogging" once per process
  }
  std::vector<std::string> Events() const {
    return Exists() ? Lines(qrn::test::ReadFile(path_)) : std::vector<std::string>{};
  }
  bool Exists() const {
    FILE* f = fopen(path_.c_str(), "r");
    if (f != nullptr) fclose(f);
    return f != nullptr;
  }

 private:
  qrn::test::HiveSandbox sandbox_;
  std::string path_;
};

TEST(Trail, EmptyUntilAReportIsRecorded) {
  qrn::test::HiveSandbox sandbox;
  VARIANT* errors = CQRNAuthorize::GetLastMvtErrors();
  EXPECT_EQ(errors, &authorizationTrail.errors);
  EXPECT_EQ(errors, CQRNAuthorize::GetLastMvtErrors());
  EXPECT_EQ(CQRNAuthenticate::GetLastMvtErrors(), &authenticationTrail.errors);
  EXPECT_EQ(errors->vt, VT_EMPTY);

  // Status 0 records nothing, except for the server-availability step whose
  // text must match exactly, letter case included.
  EXPECT_EQ(AddTrailEntry(authorizationTrail, kFile, 1, "F", "G", kReading, 0, kFailedRead), 0);
  EXPECT_EQ(AddTrailEntry(authorizationTrail, kFile, 1, "F", "G",
                          "Checking if MVT server is available", 0, ""),
            0);
  EXPECT_EQ(AddTrailEntry(authorizationTrail, kFile, 1, "F", "G", nullptr, 0, nullptr), 0);
  EXPECT_EQ(errors->vt, VT_EMPTY);
  EXPECT_EQ(authorizationTrail.count, 0);
}

TEST(Trail, RecordedEntriesFillTheColumns) {
  qrn::test::HiveSandbox sandbox;
  EXPECT_EQ(AddTrailEntry(authorizationTrail, kFile, 488, "InitCache.QrnGetCacheFlag",
                          "QrnCheckServerAvailability", qrn::kServerAvailabilityStep, 0,
                          "Server is available"),
            0);
  EXPECT_EQ(AddTrailEntry(authorizationTrail, "security/common/qrnauthorize", 77, "InitCache",
                          "ReadCache", kReading, E_FAIL, kFailedRead),
            E_FAIL);
  EXPECT_EQ(AddTrailEntry(authorizationTrail, kFile, 9, "A", "B", "Positive", S_FALSE, "d"),
            S_FALSE);

  const VARIANT* errors = CQRNAuthorize::GetLastMvtErrors();
  ASSERT_EQ(errors->vt, 0x200C);
  EXPECT_EQ(SafeArrayGetDim(errors->parray), 2u);
  LONG lb, ub;
  SafeArrayGetLBound(errors->parray, 1, &lb);
  SafeArrayGetUBound(errors->parray, 1, &ub);
  EXPECT_EQ(lb, 0);
  EXPECT_EQ(ub, 5);
  SafeArrayGetUBound(errors->parray, 2, &ub);
  EXPECT_EQ(ub, 3);
  EXPECT_EQ(authorizationTrail.count, 3);

  EXPECT_EQ(TextCell(errors, 0, 0), qrn::kServerAvailabilityStep);
  EXPECT_EQ(StatusCell(errors, 0), 0);
  EXPECT_EQ(TextCell(errors, 0, 2), "Server is available");
  EXPECT_EQ(TextCell(errors, 0, 3),
            "security/common/qrncache(488):InitCache.QrnGetCacheFlag.QrnCheckServerAvailability");
  EXPECT_EQ(TextCell(errors, 1, 0), kReading);
  EXPECT_EQ(StatusCell(errors, 1), -2147467259);
  EXPECT_EQ(TextCell(errors, 1, 2), kFailedRead);
  EXPECT_EQ(TextCell(errors, 1, 3), "security/common/qrnauthorize(77):InitCache.ReadCache");
  EXPECT_EQ(StatusCell(errors, 2), 1);
  // Unused entries stay empty; the other trail is untouched.
  EXPECT_EQ(Cell(errors, 3, 0).vt, VT_EMPTY);
  EXPECT_EQ(CQRNAuthenticate::GetLastMvtErrors()->vt, VT_EMPTY);
  // Between reports the source text is empty.
  EXPECT_EQ(SysStringLen(authorizationTrail.source), 0u);
}

TEST(Trail, SourceTextLeavesOutEmptyParts) {
  qrn::test::HiveSandbox sandbox;
  AddTrailEntry(authenticationTrail, "security/common/qrnauthenticate", 5, "", "AcquireCred", "s",
                E_FAIL, "d");
  AddTrailEntry(authenticationTrail, "security/common/qrnauthenticate", 6, "Authenticate", "", "s",
                E_FAIL, "d");
  AddTrailEntry(authenticationTrail, nullptr, -1, nullptr, nullptr, "s", E_FAIL, nullptr);
  const VARIANT* errors = CQRNAuthenticate::GetLastMvtErrors();
  EXPECT_EQ(TextCell(errors, 0, 3), "security/common/qrnauthenticate(5):.AcquireCred");
  EXPECT_EQ(TextCell(errors, 1, 3), "security/common/qrnauthenticate(6):Authenticate.");
  EXPECT_EQ(TextCell(errors, 2, 3), "(-1):.");
  EXPECT_EQ(TextCell(errors, 2, 2), "");
}

TEST(Trail, SevenReportsKeepTheFirstSixAndLogSeven) {
  EventLog log(true);
  for (int i = 0; i < 7; ++i) {
    std::string detail = "detail " + std::to_string(i);
    AddTrailEntry(authorizationTrail, kFile, 10 + i, "Fn", "Op", kReading, E_FAIL - i,
                  detail.c_str());
  }
  AddTrailEntry(authorizationTrail, kFile, 1, "Fn", "Op", kReading, 0, "not recorded");
  EXPECT_EQ(authorizationTrail.count, 6);
  const VARIANT* errors = CQRNAuthorize::GetLastMvtErrors();
  for (LONG i = 0; i < 6; ++i) EXPECT_EQ(TextCell(errors, i, 2), "detail " + std::to_string(i));

  std::vector<std::string> events = log.Events();
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[0],
            "Reading Cache files, Error: -2147467259, Result: detail 0, "
            "Source: security/common/qrncache(10):Fn.Op");
  EXPECT_EQ(events[6],
            "Reading Cache files, Error: -2147467265, Result: detail 6, "
            "Source: security/common/qrncache(16):Fn.Op");
}

TEST(Trail, NoEventsWhenEventLoggingIsOff) {
  EventLog log(false);
  AddTrailEntry(authorizationTrail, kFile, 10, "Fn", "Op", kReading, E_FAIL, kFailedRead);
  EXPECT_EQ(authorizationTrail.count, 1);
  EXPECT_FALSE(log.Exists());
}

TEST(Trail, LongTextsLimitTheEventCopyButNotTheEntry) {
  EventLog log(true);
  const std::string fits(259, 's');
  const std::string too_long(260, 'x');
  AddTrailEntry(authorizationTrail, "f", 1, "", "", fits.c_str(), E_FAIL, "d");
  AddTrailEntry(authorizationTrail, "f", 2, "", "", too_long.c_str(), E_FAIL, "d");
  AddTrailEntry(authorizationTrail, "f", 3, "", "", "s", E_FAIL, too_long.c_str());
  // A source text over 259 bytes suppresses the copy too.
  AddTrailEntry(authorizationTrail, std::string(255, 'p').c_str(), 4, "", "", "s", E_FAIL, "d");
  EXPECT_EQ(authorizationTrail.count, 4);
  const VARIANT* errors = CQRNAuthorize::GetLastMvtErrors();
  EXPECT_EQ(TextCell(errors, 1, 0), too_long);

  // Multi-byte texts: 129 two-byte characters are 258 bytes and convert, but
  // the formatted event is cut to 255 bytes without splitting a character.
  std::string accents;
  for (int i = 0; i < 129; ++i) accents += "\xC3\xA9";
  AddTrailEntry(authorizationTrail, "f", 5, "", "", "ss", E_FAIL, accents.c_str());

  std::vector<std::string> events = log.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].size(), 255u);  // formatted text cut to its 256-byte buffer
  EXPECT_EQ(events[0].substr(0, 20), std::string(20, 's'));
  // "ss, Error: -2147467259, Result: " is 32 bytes; 223 more would end
  // inside a character, so the cut keeps 111 characters.
  const std::string& cut = events[1];
  EXPECT_EQ(cut.size(), 254u);
  EXPECT_EQ(cut.substr(0, 32), "ss, Error: -2147467259, Result: ");
  EXPECT_EQ(cut.substr(32), accents.substr(0, 222));
}

TEST(Trail, ConcurrentReportsDoNotInterleave) {
  EventLog log(true);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::string function = "Thread" + std::to_string(t);
      for (int i = 0; i < 50; ++i)
        AddTrailEntry(authenticationTrail, "security/common/qrnauthenticate", i, function.c_str(),
                      "Op", "Step", E_FAIL, function.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(authenticationTrail.count, 6);
  // Each stored entry's detail and source come from the same report.
  const VARIANT* errors = CQRNAuthenticate::GetLastMvtErrors();
  for (LONG i = 0; i < 6; ++i) {
    std::string detail = TextCell(errors, i, 2);
    std::string source = TextCell(errors, i, 3);
    EXPECT_NE(source.find("):" + detail + ".Op"), std::string::npos) << source;
  }
  std::vector<std::string> events = log.Events();
  ASSERT_EQ(events.size(), 200u);
  for (const std::string& event : events) {
    size_t result = event.find("Result: Thread");
    ASSERT_NE(result, std::string::npos) << event;
    std::string thread = event.substr(result + 8, 7);
    EXPECT_NE(event.find("):" + thread + ".Op"), std::string::npos) << event;
  }
}

}  // namespace
