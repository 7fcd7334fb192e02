// Splits arbitrary server answers as group list texts and normalises the
// entries; checks the invariants the role matching relies on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "security/common/qrnauthorize/group_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const std::string original = text;
  std::vector<std::string> entries;
  qrn::SplitGroupList(&text, &entries);
  if (!text.empty()) __builtin_trap();
  // The entries and the separators make up the text again.
  std::string joined;
  for (size_t i = 0; i < entries.size(); ++i) joined += (i ? ";" : "") + entries[i];
  if (joined != original && joined + ";" != original) __builtin_trap();

  std::vector<std::string> groups;
  if (qrn::BuildGroupArray3(entries, &groups) != S_OK) __builtin_trap();
  // At most two names per entry (a qualified name, and "Everyone" when the
  // text before the last "/" is that), never longer than their entry.
  if (groups.size() > 2 * entries.size()) __builtin_trap();
  for (const std::string& group : groups)
    if (group.size() > size + 1) __builtin_trap();

  qrn::IsRemoteServer(original, "PC17");
  if (qrn::ServerHostOfUrl(original).size() > size) __builtin_trap();
  return 0;
}
