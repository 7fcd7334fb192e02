// InitCache: loads the roles, ACLs and applications into a new cache object,
// from the cache files when the server's data has not changed or the server
// is not used, else from the server (rewriting the cache files). A load from
// the server keeps and stores its documents only when all three are whole;
// otherwise the valid local files answer, as with an unreachable server.
#include <new>
#include <string>

#include "frame/config.h"
#include "platform/file_lock.h"
#include "platform/text.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/com_owners.h"
#include "security/common/qrnauthenticate/identity_block.h"
#include "security/common/qrnauthorize/authorize_cache.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrnauthorize/server_documents.h"
#include "security/common/qrnauthorize/steps.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/role_records.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"

namespace {

using qrn::Report;
namespace steps = qrn::authorize_steps;

constexpr qrn::Site kSite = steps::kSite.In("InitCache");
constexpr uint32_t kUrlBuffer = 256;
constexpr unsigned int kTimestampBuffer = 256;
constexpr size_t kTimestampMax = 255;
constexpr unsigned int kSavedIdentityFlags = QRN_CLEAR_CACHE | QRN_CLEAR_CACHE_GROUPS;

constexpr qrn::Step kReportA = {1606, "MvtCacheFolderWritable",
                                "Checking if the Local Cache folder is writable",
                                "Local Cache folder does not have write permission"};
constexpr qrn::Step kReportB = steps::kNovellCheck.AtLine(1645);
constexpr qrn::Step kReportC = steps::kNovellName.AtLine(1659);
constexpr qrn::Step kReportD = {1679, "new CQRNAuthorizeCache()", "Allocating Memory for cache",
                                "Out of Memory"};
constexpr qrn::Step kReportE = {1694, "QrnGetCacheFlag", "Getting Cache Flag failed",
                                "Get Cache Flag failed"};
constexpr qrn::Step kReportF = {1700, "QrnCheckCachedFiles", "Reading Cache files",
                                "Failed to read the Cache files"};
constexpr qrn::Step kReportG = {1765, "QrnCheckCachedFiles", "Test for Local Cache",
                                "Local Cache Files are corrupted or deleted"};
constexpr qrn::Step kReportH = steps::kReadUrl.AtLine(1708);
constexpr qrn::Step kReportI = {1721, "GetWebPage", "Making the Web Call ",
                                "Could not access the Web Page"};
constexpr qrn::Step kReportJ = {1805, "QueryInterface", "Getting the Object Interface IQrnXml2",
                                "Could not query the interface on the QrnXml Component"};
// A server document that is missing, cut or of the wrong kind (the texts
// come with the fault).
constexpr int32_t kServerDocumentLine = 1780;

// The server's timestamp when the cache-flag decision delivered none: the
// one of the last combined answer, else the server's date-time answer.
bool FetchServerTimestamp(std::string* server_timestamp) {
  char url[kUrlBuffer] = {};
  uint32_t size = sizeof url;
  if (FAILED(Report(kSite, kReportH, qrn::GetAuthUrl(url, &size)))) return false;
  if (!qrn::SecurityParts().server_timestamp.empty()) {
    *server_timestamp = qrn::SecurityParts().server_timestamp;
    return true;
  }
  const std::string request = qrn::DateTimeRequest(url);
  std::string page;
  if (!qrn::GetWebPage(request, page, true)) {
    const std::string step = kReportI.text + qrn::UrlWithoutUserInfo(request);
    Report(kSite, kReportI.WithText(step.c_str()), E_FAIL);
  }
  // A failed request goes on with what it received.
  *server_timestamp = qrn::ParseDateTimeAnswer(page);
  return true;
}

}  // namespace

bool CQRNAuthorize::InitCache(const char* user, unsigned int clear_flags) {
  try {
    if (!qrn::MvtCacheFolderWritable()) {
      Report(kSite, kReportA, E_FAIL);
      return false;
    }
    bool novell = false;
    if (FAILED(Report(kSite, kReportB, qrn::MvtIsNovellClient(&novell)))) return false;

    std::string name;
    if (FAILED(qrn::ChooseUser(user, &name))) name.clear();
    if (novell && FAILED(Report(kSite, kReportC, qrn::ConvertToNovellUserFormat(&name))))
      return false;

    ClearCache(clear_flags);
    // Without bit 0 or 1 the previous cache is still held: released here,
    // with the users' role arrays that point into it.
    ReleaseCache();
    cache = new (std::nothrow) CQRNAuthorizeCache();
    if (cache == nullptr) {
      Report(kSite, kReportD, E_OUTOFMEMORY);
      return false;
    }
    cacheUser = name;
    loadedFromServer = false;

    int16_t flag = 0;
    std::string server_timestamp;
    if (FAILED(Report(kSite, kReportE, qrn::QrnGetCacheFlag(&flag, &server_timestamp))))
      return false;
    cacheFlag = flag;

    // The cache files, their hash and their timestamp, read as one set: no
    // other process replaces them meanwhile. Read only when they may answer:
    // for the local cache, for a server whose timestamp is the files' own,
    // or when the server's documents are not usable. A load that takes the
    // server's new documents never decrypts and parses the old ones.
    int16_t valid = -1;
    IQrnXml2* raw[3] = {nullptr, nullptr, nullptr};
    char local[kTimestampBuffer] = {};
    bool local_read = false;
    auto read_local = [&]() -> HRESULT {
      local_read = true;
      qrn::platform::FileLock lock;
      qrn::LockCacheFolder(&lock, qrn::platform::FileLock::Mode::kShared);
      const HRESULT files = qrn::QrnCheckCachedFiles(&valid, &raw[0], &raw[1], &raw[2]);
      unsigned int size = sizeof local;
      if (SUCCEEDED(files) && valid == 1 && FAILED(GetCacheTime(local, size))) local[0] = '\0';
      return Report(kSite, kReportF, files);
    };
    // Released on every way out.
    qrn::ComRef<IQrnXml2> application, roles, acls;
    auto take_local = [&]() {
      application.reset(raw[0]);
      roles.reset(raw[1]);
      acls.reset(raw[2]);
      return valid == 1 && application && roles && acls;
    };

    qrn::ServerDocuments server;
    bool from_server = false;
    if (flag == -1) {
      if (FAILED(read_local())) return false;
      take_local();
      if (valid != 1) {
        Report(kSite, kReportG, E_UNEXPECTED);
        return false;
      }
    } else {
      if (server_timestamp.empty() && !FetchServerTimestamp(&server_timestamp)) return false;
      // The timestamp file alone tells whether the files were written for
      // this timestamp; only then are they checked and read.
      char written_for[kTimestampBuffer] = {};
      unsigned int size = sizeof written_for;
      bool local_whole = false;
      if (SUCCEEDED(GetCacheTime(written_for, size)) &&
          qrn::platform::EqualsNoCase(server_timestamp, written_for)) {
        if (FAILED(read_local())) return false;
        local_whole = take_local();
      }
      if (local_whole && qrn::platform::EqualsNoCase(server_timestamp, local)) {
        // The server's data has not changed since the files were written.
        flag = -1;
      } else {
        qrn::ServerDocumentFault fault;
        from_server = qrn::FetchServerDocuments(&server, &fault);
        if (!from_server) {
          if (!local_read) {
            if (FAILED(read_local())) return false;
            local_whole = take_local();
          }
          // As with an unreachable server: the valid local files answer and
          // nothing on disk changes.
          const std::string detail =
              fault.detail +
              (local_whole ? "; the Local Cache would be used" : "; there is no valid Local Cache");
          Report(kSite,
                 {kServerDocumentLine, fault.called.c_str(), fault.step.c_str(), detail.c_str()},
                 E_FAIL);
          if (!local_whole) return false;
          flag = -1;
          cacheFlag = -1;
          server_timestamp = local;
        }
      }
    }

    if (from_server) {
      qrn::RoleRecords::LoadDeferred(&cache->roleList, 1, server.roles.get());
      cache->aclStore.BuildACLFromWeb("", -1, server.acls.get());
      if (FAILED(Report(kSite, kReportJ, cache->TakeApplicationDocument(server.application.get()))))
        return false;
      HRESULT stored = S_OK;
      if (qrn::StoreServerDocuments(server, server_timestamp, &stored) ==
          qrn::StoreOutcome::kFailed)
        return false;
      loadedFromServer = true;
    } else {
      if (flag == -1 && roles) {
        qrn::RoleRecords::LoadDeferred(&cache->roleList, 1, roles.get());
      } else {
        qrn::RoleRecords::LoadDeferred(&cache->roleList, 0, nullptr);
      }
      cache->aclStore.BuildACLFromWeb("", flag, flag == -1 ? acls.get() : nullptr);
      if (flag == -1 && application) {
        if (FAILED(Report(kSite, kReportJ, cache->TakeApplicationDocument(application.get()))))
          return false;
      } else if (!cache->BuildAppls()) {
        return false;
      }
    }
    cacheTimestamp = std::string(qrn::platform::CutAtCharBoundary(server_timestamp, kTimestampMax));
    return true;
  } catch (...) {
    return false;
  }
}

bool CQRNAuthorize::InitCache() {
  try {
    qrn::UpdateServerUrl();
    const qrn::SavedIdentity saved = qrn::ReadIdentityBlock();
    if (saved.domain.empty() && saved.user.empty()) return InitCache(nullptr, kSavedIdentityFlags);
    const std::string name = saved.domain + "\\" + saved.user;
    return InitCache(name.c_str(), kSavedIdentityFlags);
  } catch (...) {
    return false;
  }
}
