// The local diagnostic log: one appended line per call while "Mvtlog" is 1.
#include "frame/diagnostic_log.h"

#include <cstdio>
#include <string>

#include "platform/file_io.h"
#include "platform/log_text.h"
#include "platform/os.h"

namespace qrn {

namespace {
constexpr char kDiagnosticLogName[] = "mvtlog.txt";
constexpr char kTimeFormat[] = "%02d/%02d/%d %02d:%02d:%02d";
// The log sits in the temporary folder, which every user may write to: it is
// created for its owner and group only, and appended to only when it is a
// regular file of the caller or root (see platform::AppendToLog).
constexpr unsigned kDiagnosticLogMode = 0640;
}  // namespace

void WriteDiagnosticLine(const char* /*leading*/, const char* source_file, int32_t line_number,
                         int32_t status, const char* name, const char* text, int32_t number) {
  try {
    // Read again for every line, so switching the value takes effect at once.
    if (!MvtLogEnabled()) return;
    platform::UtcTime now = platform::UtcNow();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, kTimeFormat, now.month, now.day, now.year, now.hour,
                  now.minute, now.second);
    const std::string path = platform::TempFolder() + kDiagnosticLogName;
    // Names and texts may come from users and servers: escaped, so that no
    // text can end the line and write one of its own.
    const std::string source = platform::EscapeLogText(source_file == nullptr ? "" : source_file);
    const std::string value_name = platform::EscapeLogText(name == nullptr ? "" : name);
    char numbers[64];
    std::string line = stamp;
    line += "(" + source + ":";
    std::snprintf(numbers, sizeof numbers, "%ld) hr=%ld ", static_cast<long>(line_number),
                  static_cast<long>(status));
    line += numbers;
    line += value_name + "=";
    if (text != nullptr) {
      line += platform::EscapeLogText(text);
    } else {
      line += std::to_string(static_cast<long>(number));
    }
    line.push_back('\n');
    // One write: lines of several processes stay whole. A log that cannot be
    // used is dropped without a report.
    platform::AppendToLog(path, line, kDiagnosticLogMode);
  } catch (...) {
    // The diagnostic log never fails its caller.
  }
}

}  // namespace qrn
