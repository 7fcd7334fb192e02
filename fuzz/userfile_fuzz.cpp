// The NTLM user file through `qrnauth userfile hash`: whatever the file
// holds, the rewrite keeps every line that is not a plain-text entry byte
// for byte, hashes exactly the entries the count names, and a second pass
// over its own output finds nothing left to rewrite.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/qrnauth/user_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  const size_t plain = qrn::cli::CountPlainEntries(content);
  qrn::cli::UserFileRewrite first;
  if (!qrn::cli::HashPlainEntries(content, &first)) return 0;
  if (first.rewritten != plain) std::abort();
  if (plain == 0 && first.content != content) std::abort();
  if (qrn::cli::CountPlainEntries(first.content) != 0) std::abort();
  qrn::cli::UserFileRewrite second;
  if (!qrn::cli::HashPlainEntries(first.content, &second) || second.rewritten != 0 ||
      second.content != first.content)
    std::abort();
  return 0;
}
