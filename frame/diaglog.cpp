// The local diagnostic log: one appended line per call while "Mvtlog" is 1.
#include "frame/diaglog.h"

#include <cstdio>
#include <string>

#include "platform/os.h"

namespace qrn {

namespace {
constexpr char kDiagnosticLogName[] = "mvtlog.txt";
constexpr char kTimeFormat[] = "%02d/%02d/%d %02d:%02d:%02d";
constexpr char kTextLineFormat[] = "%s(%s:%ld) hr=%ld %s=%s\n";
constexpr char kNumberLineFormat[] = "%s(%s:%ld) hr=%ld %s=%ld\n";
}  // namespace

void WriteDiagnosticLine(const char* /*leading*/, const char* source_file, int32_t line,
                         int32_t status, const char* name, const char* text, int32_t number) {
  try {
    // Read again for every line, so switching the value takes effect at once.
    if (!MvtLogEnabled()) return;
    platform::UtcTime now = platform::UtcNow();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, kTimeFormat, now.month, now.day, now.year, now.hour,
                  now.minute, now.second);
    std::string path = platform::TempFolder() + kDiagnosticLogName;
    std::FILE* file = std::fopen(path.c_str(), "a+");
    if (file == nullptr) return;  // dropped without a report
    const char* source = source_file == nullptr ? "" : source_file;
    const char* value_name = name == nullptr ? "" : name;
    if (text != nullptr)
      std::fprintf(file, kTextLineFormat, stamp, source, static_cast<long>(line),
                   static_cast<long>(status), value_name, text);
    else
      std::fprintf(file, kNumberLineFormat, stamp, source, static_cast<long>(line),
                   static_cast<long>(status), value_name, static_cast<long>(number));
    std::fclose(file);
  } catch (...) {
    // The diagnostic log never fails its caller.
  }
}

}  // namespace qrn
