// Security identifiers: the text form "S-1-5-21-..." turned into the binary
// layout callers of GetAuthenticatedIdentity receive.
//
//   byte 0      revision (1)
//   byte 1      number of sub-authorities (at most 15)
//   bytes 2-7   identifier authority, big-endian 48-bit
//   then        each sub-authority, 32-bit little-endian
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace qrn {

constexpr size_t kMaxSidSubAuthorities = 15;
constexpr size_t kMaxSidBytes = 8 + 4 * kMaxSidSubAuthorities;

// False for anything but "S-1-" + authority + up to 15 "-" + decimal
// sub-authorities, each within its range (an authority of 2^32 or more in
// the "0x" + 12 hexadecimal digits form).
bool SidFromText(std::string_view text, std::vector<uint8_t>* sid);

// S-1-5-4, the well-known INTERACTIVE identifier.
std::vector<uint8_t> InteractiveSid();

}  // namespace qrn
