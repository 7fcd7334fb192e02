// The timestamp file: its on-disk layout, the timestamp handed out only for
// the server configured now, buffer sizes, foreign line ends, and the client
// timestamp sent with the combined request.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "frame/config.h"
#include "platform/registry.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

using platform::RegHive;
using platform::RegistryKey;

constexpr char kTimestamp[] = "2024-05-01 12:00:00.123";

class CacheTime : public ::testing::Test {
 protected:
  void SetUrl(const std::string& url) {
    url_ = url;
    RegistryKey key;
    ASSERT_EQ(key.Create(RegHive::LocalMachine, kConfigKey), platform::ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("URL", url), platform::ERROR_SUCCESS);
  }
  std::string FilePath() const { return sandbox_.temp_folder() + kTimestampFile; }
  // GetCacheTime into a buffer of `capacity` bytes prefilled with junk.
  std::string StoredTime(unsigned int capacity, HRESULT expected = S_OK) {
    std::string buffer(capacity, '#');
    unsigned int size = capacity;
    EXPECT_EQ(CQRNAuthorize::GetCacheTime(buffer.data(), size), expected);
    EXPECT_EQ(size, capacity);
    return std::string(buffer.c_str());
  }
  test::HiveSandbox sandbox_;
  std::string url_ = "http://127.0.0.1:9/mvt/security.aspx";
};

TEST_F(CacheTime, WritesTheSystemsLayoutAndRenewsTheValidation) {
  SetUrl(url_);
  ASSERT_EQ(CQRNAuthorize::SetCacheTime(kTimestamp), S_OK);
  // Two encrypted lines, CR LF between them, no line end after the second.
  EXPECT_EQ(test::ReadFile(FilePath()), EncryptString(kTimestamp) + "\r\n" + EncryptString(url_));
  std::string hash;
  ASSERT_EQ(QrnGetHashValue(&hash), S_OK);
  EXPECT_EQ(hash, "");  // the documents are missing
  EXPECT_EQ(StoredTime(256), kTimestamp);

  // With the documents present the hash is stored in both hives.
  for (const char* name : {kApplicationCacheFile, kRoleCacheFile, kAclCacheFile})
    ASSERT_EQ(QrnEncryptBufferAndPersistInFile("<DOCUMENT/>", sandbox_.temp_folder() + name), S_OK);
  ASSERT_EQ(CQRNAuthorize::SetCacheTime("x"), S_OK);
  ASSERT_EQ(QrnGetHashValue(&hash), S_OK);
  ASSERT_EQ(hash.size(), 24u);
  for (RegHive hive : {RegHive::CurrentUser, RegHive::LocalMachine}) {
    std::string stored;
    EXPECT_TRUE(ReadStringValue(hive, kSecurityKey, kCacheValidationValue, 128, &stored));
    EXPECT_EQ(stored, hash);
  }
  // A one-character timestamp leaves the first line empty.
  EXPECT_EQ(test::ReadFile(FilePath()), "\r\n" + EncryptString(url_));
  EXPECT_EQ(StoredTime(256), "");
  EXPECT_EQ(CQRNAuthorize::SetCacheTime(nullptr), E_INVALIDARG);
}

TEST_F(CacheTime, HandedOutOnlyForTheServerConfiguredNow) {
  SetUrl("HTTP://127.0.0.1:9/MVT/Security.aspx");
  // Written for the same URL in other letter case: it matches.
  ASSERT_TRUE(WriteTimestampFile(FilePath(), kTimestamp, "http://127.0.0.1:9/mvt/security.aspx"));
  EXPECT_EQ(StoredTime(256), kTimestamp);
  // Written for another server: S_OK and an empty text.
  ASSERT_TRUE(WriteTimestampFile(FilePath(), kTimestamp, "http://127.0.0.2/mvt/security.aspx"));
  EXPECT_EQ(StoredTime(256), "");
  // No URL line at all.
  test::WriteFile(FilePath(), EncryptString(kTimestamp));
  EXPECT_EQ(StoredTime(256), "");
  // No file.
  std::filesystem::remove(FilePath());
  EXPECT_EQ(StoredTime(256), "");
}

TEST_F(CacheTime, BufferMustHoldTheTimestampAndItsTerminator) {
  SetUrl(url_);
  ASSERT_EQ(CQRNAuthorize::SetCacheTime(kTimestamp), S_OK);
  const unsigned int length = sizeof kTimestamp - 1;
  EXPECT_EQ(StoredTime(length), "");
  EXPECT_EQ(StoredTime(length + 1), kTimestamp);
  unsigned int size = 0;
  EXPECT_EQ(CQRNAuthorize::GetCacheTime(nullptr, size), S_OK);
}

TEST_F(CacheTime, ReadsLfOnlyFilesAndRejectsUndecodableLines) {
  SetUrl(url_);
  test::WriteFile(FilePath(), EncryptString(kTimestamp) + "\n" + EncryptString(url_) + "\n");
  EXPECT_EQ(StoredTime(256), kTimestamp);
  EXPECT_EQ(GetClientTimestamp(), kTimestamp);

  test::WriteFile(FilePath(), "not*base64\r\n" + EncryptString(url_));
  EXPECT_EQ(StoredTime(256, kUndecodableText), "");
  test::WriteFile(FilePath(), EncryptString(kTimestamp) + "\r\n#");
  EXPECT_EQ(StoredTime(256), "");
  test::WriteFile(FilePath(), EncryptString(kTimestamp) + "\r\nnot*base64");
  EXPECT_EQ(StoredTime(256, kUndecodableText), "");
}

TEST_F(CacheTime, AFileThatCannotBeWrittenStoresNothing) {
  SetUrl(url_);
  // A folder in the file's place: the rename cannot replace it, whoever runs.
  std::filesystem::create_directory(FilePath());
  EXPECT_EQ(CQRNAuthorize::SetCacheTime(kTimestamp), S_OK);
  std::string stored;
  EXPECT_FALSE(
      ReadStringValue(RegHive::CurrentUser, kSecurityKey, kCacheValidationValue, 128, &stored));
  EXPECT_TRUE(std::filesystem::is_directory(FilePath()));
}

TEST_F(CacheTime, ClientTimestampGoesWithTheCombinedRequest) {
  test::SecdProcess secd(test::SampleDataPath());
  SetUrl(secd.url());
  ASSERT_EQ(CQRNAuthorize::SetCacheTime("stamp-7"), S_OK);
  int16_t flag = -1;
  ASSERT_EQ(QrnGetCacheFlag(&flag, nullptr), S_OK);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(secd.RequestLog(), "Object=MvtSecData&Operation=Get&ClientTimestamp=stamp-7\n");
}

}  // namespace
}  // namespace qrn
