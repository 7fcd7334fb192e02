// Treats the input as a qrnsecd data file: parses and checks it, then renders
// the documents the server would serve from it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/documents.h"
#include "server/secdata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  qrn::secd::SecurityData parsed;
  std::string error;
  if (qrn::secd::ParseSecurityData(text, "fuzz.json", &parsed, &error))
    (void)qrn::secd::RenderDocuments(parsed, "2026-01-01T00:00:00Z");
  return 0;
}
