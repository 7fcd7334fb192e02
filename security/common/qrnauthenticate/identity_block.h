// The saved identity block: 776 bytes shared by every process of the user
// that load the library, holding the last saved user name, password and
// domain, or a mark that the saved identity is the operating-system user.
//
//   offset   0  256 bytes  user name, NUL-terminated
//   offset 256  256 bytes  password, NUL-terminated, plain text
//   offset 512  256 bytes  domain, NUL-terminated
//   offset 768    4 bytes  reserved: never read or written
//   offset 772    4 bytes  operating-system user mark: 1 = the saved identity
//                          is the operating-system user of each process,
//                          0 = the named identity in the texts
//
// The block lives in the POSIX shared-memory object "/qrnauth-identity-<uid>"
// (uid: the effective user id at first use), created with mode 0600 so that
// it starts all zero and only its owner can read the password. The variable
// QRNAUTH_IDENTITY_NAME, when it holds a name "/x" (one leading slash, no
// other), names another object instead: administrators use it to keep groups
// of processes of one user apart (tests use it to stay apart from each other).
//
// An object that belongs to someone else or grants any access to group or
// others is refused: the block then counts as empty for this process, writes
// are dropped, and one line on stderr says why.
//
// The object is never mapped: it is read and written whole through its
// descriptor, under an advisory lock (see platform/shared_block.h), so a
// reader always sees one writer's identity whole, never the user of one
// save with the password of another, and a peer that shrinks the object
// cannot crash a reader (the missing bytes read as zero). The reserved word
// stays untouched. Readers never read past a field, whatever it holds. A
// block that stays locked for 2 s reads as empty and drops the write, with
// one line on stderr.
#pragma once

#include <cstdint>
#include <string>

namespace qrn {

constexpr uint32_t kIdentityBlockSize = 776;
constexpr uint32_t kIdentityTextSize = 256;

struct IdentityBlockLayout {
  char user[kIdentityTextSize];
  char password[kIdentityTextSize];
  char domain[kIdentityTextSize];
  uint32_t reserved;
  uint32_t os_user_mark;
};
static_assert(sizeof(IdentityBlockLayout) == kIdentityBlockSize);

// A copy of the block's contents. The password is wiped when it goes away.
struct SavedIdentity {
  std::string user;
  std::string password;
  std::string domain;
  uint32_t os_user_mark = 0;
  ~SavedIdentity();
};

// The name of the shared-memory object this process uses.
std::string IdentityBlockName();

// False when the shared object could not be used (the block counts as empty).
bool IdentityBlockShared();

// Reads the whole block. Each text ends at its first NUL, at most 255 bytes.
SavedIdentity ReadIdentityBlock();

// Writes the three texts, each cut to 255 bytes at a character boundary and
// padded with NULs to the end of its field (no old bytes stay behind).
void WriteIdentityTexts(const std::string& user, const std::string& password,
                        const std::string& domain);

// Writes the operating-system user mark.
void WriteOsUserMark(uint32_t mark);

// Writes the three texts (as WriteIdentityTexts) and the mark in one step:
// no reader sees the new texts with the old mark.
void WriteIdentity(const std::string& user, const std::string& password,
                   const std::string& domain, uint32_t mark);

}  // namespace qrn
