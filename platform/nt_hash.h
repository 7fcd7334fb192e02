// The NT hash of a password: MD4 of its UTF-16LE form, the secret an NTLM
// client actually uses. Computing it here lets the client side hand the
// mechanism the hash instead of the password (the mechanism's own hashing
// leaks memory on every call).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qrn::platform {

constexpr size_t kNtHashSize = 16;

// False when the password is not valid UTF-8 or MD4 is not available.
bool ComputeNtHash(std::string_view password, uint8_t (&hash)[kNtHashSize]);

}  // namespace qrn::platform
