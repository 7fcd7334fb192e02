// The ACL store: object keys to the access control lists of the loaded ACL
// document, each key looked up in the document and decrypted at most once.
//
// An ACL text (the decrypted form of a document value) is a list of entries
// separated by ";" (runs of separators give no empty entries), each a role
// name, ":" and the mask as a signed decimal number, e.g.
// "Operators:7;Guests:1". Only the first entry whose name equals the role
// (platform::EqualsNoCase) is read, and it decides as follows:
//   - nothing after the ":" (or no ":" at all): false;
//   - the mask converts like strtol in 32 bits (leading white space and a
//     sign accepted, stops at the first non-digit, 0 when no digit; overflow
//     clamps). INT32_MAX and INT32_MIN decide nothing: false;
//   - access 0, or access with more than one bit set: false;
//   - a single access bit: true when the mask holds it (-1 holds every bit).
// No matching entry: false.
//
// The store keeps each key's ACL parsed, so a repeated check is one hash
// lookup and a scan of a few entries. It takes no lock: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qrnauth/qrnxml.h"

namespace qrn {

constexpr char kAclSource[] = "security/common/qrnacl";

// One parsed entry of an ACL text.
struct AclEntry {
  enum Kind : uint8_t {
    kNoMask,      // nothing after the ':' (or no ':')
    kNoDecision,  // the mask converted to INT32_MAX or INT32_MIN
    kMask,        // mask holds the permission bits
  };
  std::string name;    // the text before the first ':'
  std::string folded;  // platform::FoldCase(name) when name is not all ASCII
  bool ascii = true;   // name has only ASCII bytes
  Kind kind = kNoMask;
  uint32_t mask = 0;
};
using AclEntries = std::vector<AclEntry>;

// Splits an ACL text into its entries, in order.
AclEntries ParseAclText(std::string_view text);
// The answer of the parsed entries for role and access (see above): the
// entry that decides (null when none names the role) and its answer.
bool AclEntriesAllow(const AclEntries& entries, std::string_view role, uint32_t access);
const AclEntry* DecidingAclEntry(const AclEntries& entries, std::string_view role);
bool AclEntryAllows(const AclEntry& entry, uint32_t access);
// ParseAclText and AclEntriesAllow in one, for a text evaluated once.
bool EvaluateAclText(std::string_view text, std::string_view role, uint32_t access);

class CQRNAclStore {
 public:
  CQRNAclStore();  // reads the server URL
  ~CQRNAclStore();
  CQRNAclStore(const CQRNAclStore&) = delete;
  CQRNAclStore& operator=(const CQRNAclStore&) = delete;

  // Loads the ACL document: from the given object when use_given is -1 and
  // one is given, else from the security data parts or the server (writing
  // the ACL cache file). The first argument is ignored. A document loaded
  // earlier is released first; keys already answered keep their ACL until
  // ResetAcls.
  bool BuildACLFromWeb(const char* ignored, int16_t use_given, IUnknown* document);

  // Does role hold the single permission bit access on the object key? The
  // key is case-sensitive; a key seen for the first time is looked up in the
  // document and remembered, with or without an ACL. A null key reads as
  // the empty key; a null role answers false.
  bool AclAllows(const char* role, const char* key, uint32_t access);
  // The same, also telling the key's entries (null when the key has none)
  // and the entry that decided (null when none names the role).
  bool AclAllows(const char* role, const char* key, uint32_t access, const AclEntries** entries,
                 const AclEntry** decided);

  // Forgets every key and releases the document.
  void ResetAcls();

 private:
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const noexcept {
      return std::hash<std::string_view>()(key);
    }
  };
  // A key's parsed ACL; no entries when the document holds none for it.
  const AclEntries& LookupKey(std::string_view key);

  IQrnXml* aclDocument = nullptr;  // one reference; null until built
  std::unordered_map<std::string, AclEntries, KeyHash, std::equal_to<>> aclByKey;
  char serverUrl[256] = {};
  // The key asked last, as a check asks one object for each of the user's
  // roles in turn; points into aclByKey, whose nodes do not move.
  const std::string* lastKey = nullptr;
  const AclEntries* lastEntries = nullptr;
};

}  // namespace qrn
