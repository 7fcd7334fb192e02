// InitCache and RefreshCache end to end: a real qrnsecd, real cache files in
// the sandbox's cache folder, a second process (qrnauth) where the decision
// must be taken afresh.
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>

#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/identity_block.h"
#include "security/common/qrnauthorize/loaded_state_view.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"
#include "tests/authorize_fixture.h"

namespace qrn::test {
namespace {

using Inspector = CQRNAuthorizeInspector;
constexpr char kAuthorize[] = "security/common/qrnauthorize";

class AuthorizeLoadTest : public AuthorizeFixture {
 protected:
  // The four cache files as they are now.
  std::vector<std::string> CacheFiles() const {
    std::vector<std::string> files;
    for (const char* name : {kApplicationCacheFile, kRoleCacheFile, kAclCacheFile, kTimestampFile})
      files.push_back(ReadFile(CacheFile(name)));
    return files;
  }
  std::string StoredTimestamp() const {
    char text[256] = {};
    unsigned int size = sizeof text;
    EXPECT_EQ(CQRNAuthorize::GetCacheTime(text, size), S_OK);
    return text;
  }
};

TEST_F(AuthorizeLoadTest, FirstLoadComesFromTheCombinedAnswerAndWritesTheCache) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll", "Stock"}));
  StartServer();
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  EXPECT_TRUE(Inspector::FromServer(authorizer));
  EXPECT_EQ(Inspector::CacheFlag(authorizer), 0);
  EXPECT_EQ(Inspector::CacheUser(authorizer), "SALES\\bob");
  EXPECT_EQ(Inspector::CacheTimestamp(authorizer), "12/01/2026 10:00:00 AM");
  EXPECT_EQ(Inspector::Applications(authorizer), 2);
  EXPECT_EQ(Inspector::Roles(authorizer), 2u);
  // The combined answer carried the documents: none was asked for alone.
  EXPECT_EQ(DocumentRequests(), 0);
  EXPECT_EQ(StoredTimestamp(), "12/01/2026 10:00:00 AM");
  for (const std::string& content : CacheFiles()) EXPECT_GT(content.size(), 10u);
}

TEST_F(AuthorizeLoadTest, EqualTimestampsLoadTheFilesWithoutRewritingThem) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll", "Stock"}));
  StartServer();
  ASSERT_EQ(Cli({"load"}).exit_code, 0);
  const std::vector<std::string> before = CacheFiles();

  // Same timestamp in another letter case, different data: the files win.
  WriteData(DataJson("12/01/2026 10:00:00 am", {"Payroll", "Stock", "Fleet"}));
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  EXPECT_FALSE(Inspector::FromServer(authorizer));
  EXPECT_EQ(Inspector::CacheFlag(authorizer), 0);  // the server is in use
  EXPECT_EQ(Inspector::Applications(authorizer), 2);
  EXPECT_EQ(Inspector::CacheTimestamp(authorizer), "12/01/2026 10:00:00 am");
  EXPECT_EQ(CacheFiles(), before);  // SetCacheTime not called, nothing rewritten
  EXPECT_EQ(DocumentRequests(), 0) << secd_->RequestLog();
}

TEST_F(AuthorizeLoadTest, ChangedTimestampReloadsFromTheServer) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll"}));
  StartServer();
  ASSERT_EQ(Cli({"load"}).exit_code, 0);
  const std::vector<std::string> before = CacheFiles();

  WriteData(DataJson("12/02/2026 9:30:00 AM", {"Payroll", "Fleet"}));
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  EXPECT_TRUE(Inspector::FromServer(authorizer));
  EXPECT_EQ(Inspector::Applications(authorizer), 2);
  EXPECT_EQ(StoredTimestamp(), "12/02/2026 9:30:00 AM");
  const std::vector<std::string> after = CacheFiles();
  EXPECT_NE(after[0], before[0]);  // the application and ACL documents changed
  EXPECT_NE(after[2], before[2]);
  EXPECT_NE(after[3], before[3]);

  // A third process now finds the files current.
  const ProcessResult again = Cli({"load"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_NE(again.out.find("source: cache\n"), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("applications: 2\n"), std::string::npos) << again.out;
}

// Files that pass the hash but no longer parse answer for their own
// timestamp (and fail), but do not stand in the way of newer server data:
// those are loaded and replace them.
TEST_F(AuthorizeLoadTest, NewServerDataLoadsOverFilesThatDoNotParse) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll"}));
  StartServer();
  ASSERT_EQ(Cli({"load"}).exit_code, 0);
  WriteFile(CacheFile(kAclCacheFile), EncryptString("<DOCUMENT><broken"));
  ASSERT_EQ(StoreCacheValidation(), S_OK);
  EXPECT_EQ(Cli({"load"}).exit_code, 1);

  WriteData(DataJson("12/02/2026 9:30:00 AM", {"Payroll", "Fleet"}));
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  EXPECT_TRUE(Inspector::FromServer(authorizer));
  EXPECT_EQ(Inspector::Applications(authorizer), 2);
  const ProcessResult again = Cli({"load"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_NE(again.out.find("source: cache\n"), std::string::npos) << again.out;
}

TEST_F(AuthorizeLoadTest, UnreachableServerUsesValidFilesAndWritesNothing) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll", "Stock"}));
  StartServer();
  ASSERT_EQ(Cli({"load"}).exit_code, 0);
  StopServer();
  const std::vector<std::string> before = CacheFiles();

  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  EXPECT_EQ(Inspector::CacheFlag(authorizer), -1);
  EXPECT_FALSE(Inspector::FromServer(authorizer));
  EXPECT_EQ(Inspector::Applications(authorizer), 2);
  EXPECT_EQ(Inspector::Roles(authorizer), 2u);
  EXPECT_EQ(CacheFiles(), before);
}

TEST_F(AuthorizeLoadTest, UnreachableServerWithoutValidFilesFails) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll"}));
  StartServer();
  ASSERT_EQ(Cli({"load"}).exit_code, 0);
  StopServer();
  // A cache file that changed after the hash was stored makes the cache invalid.
  WriteFile(CacheFile(kAclCacheFile), "");

  CQRNAuthorize authorizer;
  EXPECT_FALSE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  EXPECT_TRUE(HasTrailRow(std::string(kAuthorize) + "(1765):InitCache.QrnCheckCachedFiles",
                          "Local Cache Files are corrupted or deleted", E_UNEXPECTED));
  // Partly loaded: a cache object is held, so a second call starts over cleanly.
  EXPECT_TRUE(Inspector::Loaded(authorizer));

  const ProcessResult cli = Cli({"load"});
  EXPECT_EQ(cli.exit_code, 1);
  EXPECT_EQ(cli.out, "loaded: no\n");
}

TEST_F(AuthorizeLoadTest, CacheFolderNotWritableFailsFirst) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll"}));
  StartServer();
  // Root may write any file, but not open a directory for writing.
  std::filesystem::create_directory(CacheFile(kTimestampFile));
  CQRNAuthorize authorizer;
  EXPECT_FALSE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  const std::vector<TrailRow> rows = AuthorizationTrail();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].step, "Checking if the Local Cache folder is writable");
  EXPECT_EQ(rows[0].detail, "Local Cache folder does not have write permission");
  EXPECT_EQ(rows[0].status, E_FAIL);
  EXPECT_EQ(rows[0].source, std::string(kAuthorize) + "(1606):InitCache.MvtCacheFolderWritable");
  EXPECT_FALSE(Inspector::Loaded(authorizer));
  EXPECT_EQ(secd_->RequestLog(), "");  // stopped before the server was asked
}

TEST_F(AuthorizeLoadTest, OldServerDocumentsByTheirOwnRequestsThenFromTheFiles) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll", "Stock"}));
  StartServer({"--old-server"});
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  EXPECT_TRUE(Inspector::FromServer(authorizer));
  EXPECT_EQ(Inspector::Applications(authorizer), 2);
  EXPECT_EQ(Inspector::Roles(authorizer), 2u);
  EXPECT_EQ(DocumentRequests(), 3);
  EXPECT_EQ(StoredTimestamp(), Inspector::CacheTimestamp(authorizer));
  EXPECT_FALSE(Inspector::CacheTimestamp(authorizer).empty());

  // Another process: equal timestamps, so no document is requested again.
  const ProcessResult again = Cli({"load"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_NE(again.out.find("source: cache\n"), std::string::npos) << again.out;
  EXPECT_EQ(DocumentRequests(), 3) << secd_->RequestLog();
}

TEST_F(AuthorizeLoadTest, RefreshCacheReloadsOnlyAfterTheDataChanged) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll"}));
  StartServer();
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  const std::string updated = std::string(kAuthorize) + "(1922):RefreshCache.[CompareTimestamp]";

  for (int round = 0; round < 2; ++round) {
    bool refreshed = true;
    EXPECT_TRUE(authorizer.RefreshCache(refreshed, QRN_CLEAR_GROUPS));
    EXPECT_FALSE(refreshed);
  }
  int updated_rows = 0;
  for (const TrailRow& row : AuthorizationTrail())
    if (row.source == updated && row.detail == "Local Cache is updated" && row.status == 1)
      ++updated_rows;
  EXPECT_EQ(updated_rows, 2);

  WriteData(DataJson("12/02/2026 9:30:00 AM", {"Payroll", "Fleet", "Stock"}));
  bool refreshed = false;
  EXPECT_TRUE(authorizer.RefreshCache(refreshed, QRN_CLEAR_CACHE_GROUPS));
  EXPECT_TRUE(refreshed);
  EXPECT_EQ(Inspector::Applications(authorizer), 3);
  EXPECT_EQ(Inspector::CacheTimestamp(authorizer), "12/02/2026 9:30:00 AM");
  EXPECT_EQ(Inspector::CacheUser(authorizer), "SALES\\bob");
  EXPECT_EQ(StoredTimestamp(), "12/02/2026 9:30:00 AM");
}

TEST_F(AuthorizeLoadTest, AppAndRolesCacheStartALoadWhenNothingIsLoaded) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll", "Stock"}));
  StartServer();
  CQRNAuthorize authorizer;
  IQrnXml2* document = nullptr;
  BSTR timestamp = nullptr;
  CQRNRoleList* roles = reinterpret_cast<CQRNRoleList*>(&authorizer);
  EXPECT_EQ(authorizer.GetRolesCache(&roles, &timestamp), E_FAIL);
  EXPECT_EQ(roles, nullptr);
  EXPECT_EQ(timestamp, nullptr);
  ASSERT_TRUE(Inspector::Loaded(authorizer));  // the failed call loaded

  ASSERT_EQ(authorizer.GetAppCache(&document, &timestamp), S_OK);
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(platform::Utf16ToUtf8(std::u16string_view(timestamp, SysStringLen(timestamp))),
            "12/01/2026 10:00:00 AM");
  SysFreeString(timestamp);
  ASSERT_EQ(authorizer.GetRolesCache(&roles, &timestamp), S_OK);
  ASSERT_NE(roles, nullptr);
  EXPECT_EQ(roles->roles.size(), 2u);
  SysFreeString(timestamp);
  EXPECT_EQ(authorizer.GetAppCache(nullptr, &timestamp), E_INVALIDARG);

  // A load without bit 0 or 1 replaces the cache; the caller's reference to
  // the old document stays usable, the role list is the new one.
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_GROUPS));
  IDispatch* found = nullptr;
  BSTR tag = SysAllocString(u"QRNAPPLS");
  EXPECT_EQ(document->FindElement(nullptr, tag, &found), S_OK);
  SysFreeString(tag);
  ASSERT_NE(found, nullptr);
  found->Release();
  document->Release();

  // Released by ClearCache: E_FAIL again (and a load started again).
  EXPECT_TRUE(authorizer.ClearCache(QRN_CLEAR_CACHE));
  EXPECT_FALSE(Inspector::Loaded(authorizer));
  EXPECT_EQ(authorizer.GetAppCache(&document, &timestamp), E_FAIL);
  EXPECT_TRUE(Inspector::Loaded(authorizer));
}

// InitCache without arguments: the identity a logon saved, else the current
// user. The shared block is one of the test's own.
class SavedIdentityTest : public AuthorizeLoadTest {
 protected:
  void SetUp() override {
    name_ = "/qrnauth-w3-" + std::to_string(getpid());
    setenv("QRNAUTH_IDENTITY_NAME", name_.c_str(), 1);
  }
  void TearDown() override { shm_unlink(name_.c_str()); }
  std::string name_;
};

TEST_F(SavedIdentityTest, LoadsForTheSavedIdentityElseTheCurrentUser) {
  WriteData(DataJson("12/01/2026 10:00:00 AM", {"Payroll"}));
  StartServer();
  {
    CQRNAuthorize authorizer;
    ASSERT_TRUE(authorizer.InitCache());
    char domain[256] = {}, user[256] = {};
    ASSERT_EQ(CQRNAuthenticate::GetCurrentContext(domain, user), S_OK);
    EXPECT_EQ(Inspector::CacheUser(authorizer), std::string(domain) + "\\" + user);
  }
  WriteIdentityTexts("carol", "secret", "SALES");
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache());
  EXPECT_EQ(Inspector::CacheUser(authorizer), "SALES\\carol");
  WriteIdentityTexts("dave", "", "");
  ASSERT_TRUE(authorizer.InitCache());
  EXPECT_EQ(Inspector::CacheUser(authorizer), "\\dave");
}

TEST_F(AuthorizeLoadTest, RoleCacheTimerArmsOnceWithTheConfiguredAge) {
  CQRNAuthorize authorizer;
  EXPECT_EQ(Inspector::TimerId(authorizer), 0u);
  Inspector::ServiceTimer(authorizer);
  const uint32_t id = Inspector::TimerId(authorizer);
  EXPECT_NE(id, 0u);
  Inspector::ServiceTimer(authorizer);  // minutes away: no tick
  EXPECT_EQ(Inspector::TimerId(authorizer), id);
  EXPECT_FALSE(g_bDumpRoleCache.load());
  CQRNAuthorize second;
  Inspector::ServiceTimer(second);
  EXPECT_NE(Inspector::TimerId(second), id);  // every authorizer has its own timer
}

}  // namespace
}  // namespace qrn::test
