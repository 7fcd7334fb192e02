#include "platform/ntlm_token_guard.h"

#include <cstring>

namespace qrn::platform {
namespace {

constexpr uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A payload field: length, maximum length, offset from the start.
struct Field {
  uint16_t length;
  uint32_t offset;
};

Field ReadField(const uint8_t* data, size_t at) {
  return {Read16(data + at), Read32(data + at + 4)};
}

// An empty field may carry any offset; a non-empty one lies inside the token.
bool Inside(const Field& f, size_t size) {
  return f.length == 0 || (f.offset <= size && f.length <= size - f.offset);
}

// UTF-8 size of a name as the mechanism will hold it: UTF-16LE code units
// for Unicode messages, else OEM bytes, where any byte above 0x7F may need two.
size_t Utf8Size(const uint8_t* p, size_t length, bool unicode) {
  size_t total = 0;
  if (unicode) {
    for (size_t i = 0; i + 1 < length; i += 2) {
      uint16_t unit = Read16(p + i);
      if (unit < 0x80) {
        total += 1;
      } else if (unit < 0x800) {
        total += 2;
      } else if (unit >= 0xD800 && unit < 0xDC00) {
        total += 2;  // half of a 4-byte pair
      } else if (unit >= 0xDC00 && unit < 0xE000) {
        total += 2;
      } else {
        total += 3;
      }
    }
    if (length % 2 != 0) total += 3;  // a stray byte becomes U+FFFD
    return total;
  }
  for (size_t i = 0; i < length; ++i) total += p[i] < 0x80 ? 1 : 2;
  return total;
}

bool NameFits(const uint8_t* data, size_t size, const Field& f, bool unicode) {
  if (!Inside(f, size)) return false;
  if (f.length > kNtlmMaxNameBytes) return false;
  return f.length == 0 || Utf8Size(data + f.offset, f.length, unicode) <= kNtlmMaxNameUtf8;
}

// Target information: attribute/value pairs (id, length, value) that stay
// inside the field and end with the end-of-list pair. The mechanism needs it
// for NTLMv2 and dereferences it without checking; an empty or malformed
// list would crash it.
bool TargetInfoSound(const uint8_t* data, size_t size, const Field& f) {
  if (f.length == 0 || !Inside(f, size)) return false;
  const uint8_t* p = data + f.offset;
  size_t left = f.length;
  while (left >= 4) {
    uint16_t id = Read16(p);
    uint16_t length = Read16(p + 2);
    if (length > left - 4) return false;
    if (id == 0) return true;  // MsvAvEOL
    p += 4 + length;
    left -= 4 + static_cast<size_t>(length);
  }
  return false;
}

}  // namespace

uint32_t NtlmMessageType(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 12 || std::memcmp(data, kSignature, sizeof kSignature) != 0) {
    return 0;
  }
  return Read32(data + 8);
}

bool CheckNtlmNegotiate(const uint8_t* data, size_t size) {
  if (size < kNtlmShortNegotiateSize || NtlmMessageType(data, size) != kNtlmNegotiateType) {
    return false;
  }
  // Domain and workstation are OEM texts in a NEGOTIATE.
  return NameFits(data, size, ReadField(data, 16), false) &&
         NameFits(data, size, ReadField(data, 24), false);
}

bool CheckNtlmChallenge(const uint8_t* data, size_t size) {
  if (size < kNtlmChallengeMinSize || NtlmMessageType(data, size) != kNtlmChallengeType) {
    return false;
  }
  const uint32_t flags = Read32(data + 20);
  const bool unicode = (flags & kNtlmFlagUnicode) != 0;
  const Field target_name = ReadField(data, 12);
  // The target type flags describe the target name; the mechanism copies
  // that name without checking and crashes on an empty one, so a challenge
  // that declares a target type must carry a name.
  constexpr uint32_t kTargetTypeDomain = 0x00010000;
  constexpr uint32_t kTargetTypeServer = 0x00020000;
  if ((flags & (kTargetTypeDomain | kTargetTypeServer)) != 0 && target_name.length == 0) {
    return false;
  }
  return NameFits(data, size, target_name, unicode) &&
         TargetInfoSound(data, size, ReadField(data, 40));
}

bool CheckNtlmAuthenticate(const uint8_t* data, size_t size) {
  if (size < kNtlmAuthenticateMinSize || NtlmMessageType(data, size) != kNtlmAuthenticateType) {
    return false;
  }
  bool unicode = (Read32(data + 60) & kNtlmFlagUnicode) != 0;
  return Inside(ReadField(data, 12), size) &&                   // LM response
         Inside(ReadField(data, 20), size) &&                   // NT response
         NameFits(data, size, ReadField(data, 28), unicode) &&  // domain
         NameFits(data, size, ReadField(data, 36), unicode) &&  // user
         NameFits(data, size, ReadField(data, 44), unicode) &&  // workstation
         Inside(ReadField(data, 52), size);                     // session key
}

bool NtlmAuthenticateNamesUser(const uint8_t* data, size_t size) {
  if (size < kNtlmAuthenticateMinSize) return false;
  constexpr uint32_t kAnonymous = 0x00000800;
  return ReadField(data, 36).length != 0 && (Read32(data + 60) & kAnonymous) == 0;
}

std::vector<uint8_t> NormalizeNtlmNegotiate(const uint8_t* data, size_t size,
                                            bool* version_present) {
  std::vector<uint8_t> out(data, data + size);
  uint32_t flags = Read32(data + 12);
  *version_present = (flags & kNtlmFlagVersion) != 0;
  if (out.size() < kNtlmNegotiateSize) out.resize(kNtlmNegotiateSize, 0);
  return out;
}

void ClearNtlmChallengeVersion(uint8_t* data, size_t size) {
  if (size < kNtlmChallengeMinSize || NtlmMessageType(data, size) != kNtlmChallengeType) return;
  data[23] = static_cast<uint8_t>(data[23] & ~(kNtlmFlagVersion >> 24));
}

}  // namespace qrn::platform
