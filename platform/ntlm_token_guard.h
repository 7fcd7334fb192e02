// Checks on NTLM messages before the GSSAPI mechanism parses them.
//
// The mechanism trusts the field lengths of incoming messages: names whose
// user plus domain exceed its fixed buffers overflow its stack, and fields
// that point outside the message are read past its end. Every token that
// reaches the mechanism passes one of these checks first. The checks read
// only the fixed header and the payload bounds; they never copy names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qrn::platform {

constexpr uint32_t kNtlmNegotiateType = 1;
constexpr uint32_t kNtlmChallengeType = 2;
constexpr uint32_t kNtlmAuthenticateType = 3;

// NegotiateFlags bits the guard looks at.
constexpr uint32_t kNtlmFlagUnicode = 0x00000001;
constexpr uint32_t kNtlmFlagVersion = 0x02000000;

// The longest user, domain or workstation name accepted: 255 bytes once the
// mechanism turns it into UTF-8, the limit the library documents for names
// (so user plus domain always fit the mechanism's buffers). In the message
// that is at most 255 UTF-16 code units (510 bytes) or 255 OEM bytes.
constexpr size_t kNtlmMaxNameUtf8 = 255;
constexpr size_t kNtlmMaxNameBytes = 2 * kNtlmMaxNameUtf8;

// Fixed header sizes: NEGOTIATE without and with the version field,
// CHALLENGE without the version field, AUTHENTICATE without version and MIC.
constexpr size_t kNtlmShortNegotiateSize = 32;
constexpr size_t kNtlmNegotiateSize = 40;
constexpr size_t kNtlmChallengeMinSize = 48;
constexpr size_t kNtlmAuthenticateMinSize = 64;

// The message type of a token that starts with the NTLM signature, else 0.
uint32_t NtlmMessageType(const uint8_t* data, size_t size);

// True when the token is a well-formed message of that type: long enough
// for its header, every non-empty payload field inside the token, and every
// name within the limits above. A CHALLENGE's target name has the same
// limit; its target information must be a non-empty, well-formed list of
// attribute/value pairs ending with the end-of-list pair.
bool CheckNtlmNegotiate(const uint8_t* data, size_t size);
bool CheckNtlmChallenge(const uint8_t* data, size_t size);
bool CheckNtlmAuthenticate(const uint8_t* data, size_t size);

// True when a checked AUTHENTICATE names a user: neither an empty user name
// nor the anonymous flag. An anonymous logon is never accepted.
bool NtlmAuthenticateNamesUser(const uint8_t* data, size_t size);

// A checked NEGOTIATE in the form the mechanism requires: a 32-byte message
// without the version field (as some clients send it) is padded with a zero
// version to 40 bytes. *version_present tells whether the client set the
// "version present" flag.
std::vector<uint8_t> NormalizeNtlmNegotiate(const uint8_t* data, size_t size,
                                            bool* version_present);

// Clears the "version present" flag of a CHALLENGE in place (for a client
// whose NEGOTIATE did not set it). Tokens that are not a CHALLENGE are left.
void ClearNtlmChallengeVersion(uint8_t* data, size_t size);

}  // namespace qrn::platform
