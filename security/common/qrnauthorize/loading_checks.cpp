// The preliminary steps of InitCache: the cache folder check and the choice
// of the user.
#include <new>
#include <string>

#include "frame/config.h"
#include "platform/file_io.h"
#include "platform/text.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrncache_files.h"

namespace qrn {

namespace {
constexpr uint32_t kPathBuffer = 260;
constexpr size_t kNameBuffer = 512;
constexpr size_t kContextBuffer = 256;
}  // namespace

bool MvtCacheFolderWritable() {
  try {
    char folder[kPathBuffer] = {};
    uint32_t size = sizeof folder;
    if (FAILED(GetCachePath(folder, &size))) return false;
    // Opened for writing: created when missing, nothing written, content
    // kept. A link, FIFO or other non-regular file of that name fails (the
    // folder may be shared, and root must not create files where a link
    // points). No retry for a sharing conflict: files are not locked against
    // opening here, so an open that fails once fails again.
    return platform::TouchFile(std::string(folder) + kTimestampFile).ok();
  } catch (...) {
    return false;
  }
}

HRESULT ChooseUser(const char* user, std::string* name) {
  try {
    if (user != nullptr && user[0] != '\0') {
      *name = std::string(platform::CutAtCharBoundary(user, kNameBuffer - 1));
      return S_OK;
    }
    char domain[kContextBuffer] = {};
    char current[kContextBuffer] = {};
    const HRESULT hr = CQRNAuthenticate::GetCurrentContext(domain, current);
    *name = std::string(domain) + "\\" + current;
    return hr;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT ConvertToNovellUserFormat(std::string* /*name*/) { return S_OK; }

}  // namespace qrn
