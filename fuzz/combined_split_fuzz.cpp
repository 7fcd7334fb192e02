// Splits arbitrary text as a combined security data answer and reads it as
// an old-server date answer; both must stay within the text and never crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "security/common/server_requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string page(reinterpret_cast<const char*>(data), size);
  const qrn::SecurityDataParts parts = qrn::SplitCombinedData(page);
  const size_t total = parts.server_timestamp.size() + parts.applications.size() +
                       parts.roles.size() + parts.acls.size();
  if (total > size * 5) __builtin_trap();  // parts overlap at most, never grow
  const qrn::OldServerDate answer = qrn::ParseOldServerDate(page);
  if (answer.timestamp.size() > size) __builtin_trap();
  if (answer.has_level && (answer.level < 0 || answer.level > 9)) __builtin_trap();
  std::string rejoined = page;
  qrn::RejoinCombinedAnswer(rejoined);
  if (rejoined.size() != page.size()) __builtin_trap();
  qrn::CanonicalizeValue(page);
  return 0;
}
