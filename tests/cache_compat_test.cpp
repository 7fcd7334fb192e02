// Cache folders written by an earlier build (kept in tests/data/, made by
// qrnsecd with data/sample.json and with a data file of non-ASCII names and
// escaped text) still validate and load, and checks answer from them as they
// did then; what this build writes for the same data is byte for byte what
// the earlier build wrote.
#include <string>
#include <vector>

#include "security/common/qrnauthorize/loaded_state_view.h"
#include "security/common/qrncache_files.h"
#include "tests/authorize_fixture.h"

namespace qrn::test {
namespace {

using Inspector = CQRNAuthorizeInspector;

constexpr const char* kDocumentFiles[] = {kApplicationCacheFile, kRoleCacheFile, kAclCacheFile};

std::string Folder(const std::string& name) { return SourceDir() + "/tests/data/" + name + "/"; }

struct Check {
  const char* user;
  const char* object;
  unsigned int permission;
  bool granted;
};

class CacheCompat : public AuthorizeFixture {
 protected:
  // The stored folder becomes the cache folder; the configured server does
  // not answer, so a load comes from the files.
  void UseStoredFolder(const std::string& name) {
    const std::string folder = Folder(name);
    for (const char* file : kDocumentFiles) WriteFile(CacheFile(file), ReadFile(folder + file));
    WriteFile(CacheFile(kTimestampFile), ReadFile(folder + kTimestampFile));
    UseUrl("http://127.0.0.1:9/mvt/security.aspx",
           "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT\\Security]\r\n\"CacheValidation\"=\"" +
               ReadFile(folder + "CacheValidation") + "\"\r\n");
  }

  void ExpectChecks(const std::vector<Check>& checks) {
    for (const Check& check : checks) {
      CQRNAuthorize authorizer;
      ASSERT_TRUE(authorizer.InitCache(check.user, QRN_CLEAR_CACHE_GROUPS)) << check.user;
      EXPECT_FALSE(Inspector::FromServer(authorizer));
      EXPECT_EQ(authorizer.CheckAccess(check.user, check.object, check.permission), check.granted)
          << check.user << " " << check.object << " " << check.permission;
    }
  }

  // This build's cache files for the data file equal the stored folder's.
  void ExpectSameFilesFrom(const std::string& data_file, const std::string& name) {
    WriteData(ReadFile(data_file));
    StartServer();
    CQRNAuthorize authorizer;
    ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
    ASSERT_TRUE(Inspector::FromServer(authorizer));
    for (const char* file : kDocumentFiles)
      EXPECT_EQ(ReadFile(CacheFile(file)), ReadFile(Folder(name) + file)) << file;
  }
};

TEST_F(CacheCompat, EarlierBuildsFolderLoadsAndAnswersAsBefore) {
  UseStoredFolder("cache_folder_old");
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  EXPECT_FALSE(Inspector::FromServer(authorizer));
  EXPECT_EQ(Inspector::Applications(authorizer), 2);
  EXPECT_EQ(Inspector::Roles(authorizer), 5u);
  ExpectChecks({
      {"SALES\\bob", "Payroll.Monthly", 4, true},
      {"SALES\\bob", "Payroll.Annual", 1, false},
      {"sales\\BOB", "Payroll.Rates", 1, true},
      {"SALES\\bob", "Inventory.Items", 2, false},
      {"SALES\\alice", "Payroll.Annual", 1, true},
      {"SALES\\alice", "Payroll.Monthly", 2, false},
      {"SALES\\admin", "Payroll.Employees", 4, true},
      {"SALES\\nobody", "Inventory.Items", 1, true},
      {"SALES\\nobody", "Payroll.Monthly", 1, false},
  });
}

TEST_F(CacheCompat, EarlierBuildsFolderOfNonAsciiNamesAnswersAsBefore) {
  UseStoredFolder("cache_folder_old_intl");
  ExpectChecks({
      // Members match without regard to case, ASCII or not.
      {"VERKAUF\\j\xC3\xB6rg", "Lohn.Monat", 4, true},
      {"verkauf\\J\xC3\x96RG", "Lohn.Monat", 2, true},
      {"VERKAUF\\\xC3\xA5sa", "Lohn.Jahr\xE2\x82\xAC", 1, true},
      {"VERKAUF\\\xF0\x9F\x98\x80SMILE", "Lohn.Monat", 1, true},
      {"VERKAUF\\bob", "Lohn.Jahr\xE2\x82\xAC", 2, false},
      // Simple case folding keeps "STRASSE" apart from the sharp s.
      {"VERKAUF\\STRASSE", "Lohn.Monat", 1, false},
      {"VERKAUF\\stra\xC3\x9F" "e", "Lohn.Jahr\xE2\x82\xAC", 4, true},
      {"X\\y", "Lohn.Monat", 1, false},
  });
}

TEST_F(CacheCompat, FilesWrittenNowEqualTheEarlierBuilds) {
  ExpectSameFilesFrom(SourceDir() + "/data/sample.json", "cache_folder_old");
}

TEST_F(CacheCompat, FilesOfNonAsciiDataWrittenNowEqualTheEarlierBuilds) {
  ExpectSameFilesFrom(Folder("cache_folder_old_intl") + "data.json", "cache_folder_old_intl");
}

}  // namespace
}  // namespace qrn::test
