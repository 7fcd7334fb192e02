// The administration interface's view of the identity saved for this user's
// processes; the password stays inside the library.
#include "qrnauth/admin.h"
#include "security/common/qrnauthenticate/identity_block.h"

namespace qrn::admin {

SavedIdentity ReadSavedIdentity() {
  const qrn::SavedIdentity block = ReadIdentityBlock();
  SavedIdentity saved;
  // The mark tells the two saved states apart: with it set, each process
  // acts as its own operating-system user and the names do not count.
  saved.os_user = block.os_user_mark == 1;
  if (!saved.os_user) {
    saved.domain = block.domain;
    saved.user = block.user;
  }
  return saved;
}

}  // namespace qrn::admin
