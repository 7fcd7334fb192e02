// The .reg parser over arbitrary bytes. A file that parses must write out
// as text that parses again, and writing becomes stable after one round
// (the first round may replace invalid UTF-8 of wide texts by U+FFFD).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/hive.h"
#include "platform/regfile.h"

using qrn::platform::HiveData;
using qrn::platform::ParseRegFile;
using qrn::platform::RegFile;
using qrn::platform::RegHive;
using qrn::platform::RegParseError;
using qrn::platform::SerializeRegFile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RegFile file;
  RegParseError error;
  if (!ParseRegFile(std::string(reinterpret_cast<const char*>(data), size), &file, &error)) {
    return 0;
  }
  const std::string first = SerializeRegFile(file);
  RegFile again;
  if (!ParseRegFile(first, &again, &error)) std::abort();
  const std::string second = SerializeRegFile(again);
  if (!ParseRegFile(second, &again, &error) || SerializeRegFile(again) != second) std::abort();

  // The hive model accepts whatever parses.
  for (RegHive hive : {RegHive::LocalMachine, RegHive::CurrentUser}) {
    const HiveData model = HiveData::FromFile(file, hive);
    RegFile back;
    if (!ParseRegFile(SerializeRegFile(model.ToFile(hive)), &back, &error)) std::abort();
  }
  return 0;
}
