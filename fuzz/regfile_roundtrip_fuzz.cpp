// The hive writer's round trip: whatever .reg text parses, writing it and
// parsing the written text gives the very same keys and values (names,
// deletions, types and data bytes). A hive write must never change a value
// it does not touch.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/regfile.h"

using qrn::platform::ParseRegFile;
using qrn::platform::RegFile;
using qrn::platform::RegParseError;
using qrn::platform::SerializeRegFile;

namespace {

bool SameContent(const RegFile& a, const RegFile& b) {
  if (a.keys.size() != b.keys.size()) return false;
  for (size_t k = 0; k < a.keys.size(); ++k) {
    const auto& x = a.keys[k];
    const auto& y = b.keys[k];
    if (x.path != y.path || x.remove != y.remove || x.values.size() != y.values.size()) return false;
    for (size_t v = 0; v < x.values.size(); ++v) {
      const auto& p = x.values[v];
      const auto& q = y.values[v];
      if (p.name != q.name || p.remove != q.remove) return false;
      if (!p.remove && (p.type != q.type || p.data != q.data)) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RegFile file;
  RegParseError error;
  if (!ParseRegFile(std::string(reinterpret_cast<const char*>(data), size), &file, &error)) {
    return 0;
  }
  RegFile again;
  if (!ParseRegFile(SerializeRegFile(file), &again, &error)) std::abort();
  if (!SameContent(file, again)) std::abort();
  return 0;
}
