// The validation hash of the cache files: what it covers (the timestamp file
// read as text, so CR LF and LF hash alike), where it is stored and looked
// up, what invalidates it, and a cache written by one process validated and
// loaded by another.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "frame/config.h"
#include "frame/trail.h"
#include "platform/crypto.h"
#include "platform/registry.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

using platform::RegHive;
using platform::RegistryKey;

constexpr char kUrl[] = "http://127.0.0.1:9/mvt/security.aspx";
constexpr char kApplications[] =
    "<DOCUMENT><QRNAPPLS><APPLCOUNT>0</APPLCOUNT></QRNAPPLS></DOCUMENT>";
constexpr char kRoles[] = "<DOCUMENT><QRNROLES><ROLECOUNT>0</ROLECOUNT></QRNROLES></DOCUMENT>";
constexpr char kAcls[] = "<DOCUMENT><QRNACLS><ACLCOUNT>0</ACLCOUNT></QRNACLS></DOCUMENT>";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// MD5 of the texts and the salt, in the cache alphabet.
std::string ExpectedHash(const std::vector<std::string>& texts) {
  uint32_t error = 0;
  platform::Md5Hash md5;
  EXPECT_TRUE(md5.Create(QrnCryptAcquireContext(), &error));
  for (const std::string& text : texts) md5.Update(text.data(), text.size(), &error);
  md5.Update(kCacheHashSalt, 38, &error);
  uint8_t digest[16];
  EXPECT_TRUE(md5.Finish(digest, &error));
  char out[32];
  int length = Base64Encode(digest, sizeof digest, out, sizeof out, kCacheAlphabet);
  return std::string(out, length);
}

// The hive store looks at the files at most once a millisecond.
void HiveChanged() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

std::string StoredValue(RegHive hive) {
  std::string value;
  if (!ReadStringValue(hive, kSecurityKey, kCacheValidationValue, 128, &value)) return "<none>";
  return value;
}

void StoreValue(RegHive hive, const std::string& value) {
  RegistryKey key;
  ASSERT_EQ(key.Create(hive, kSecurityKey), platform::ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(kCacheValidationValue, value), platform::ERROR_SUCCESS);
}

class CacheHash : public ::testing::Test {
 protected:
  void SetUp() override {
    RegistryKey key;
    ASSERT_EQ(key.Create(RegHive::LocalMachine, kConfigKey), platform::ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("URL", kUrl), platform::ERROR_SUCCESS);
  }
  std::string Path(const char* name) const { return sandbox_.temp_folder() + name; }
  // The cache as a load from the server leaves it.
  void WriteCache() {
    ASSERT_EQ(QrnEncryptBufferAndPersistInFile(kApplications, Path(kApplicationCacheFile)), S_OK);
    ASSERT_EQ(QrnEncryptBufferAndPersistInFile(kRoles, Path(kRoleCacheFile)), S_OK);
    ASSERT_EQ(QrnEncryptBufferAndPersistInFile(kAcls, Path(kAclCacheFile)), S_OK);
    ASSERT_EQ(CQRNAuthorize::SetCacheTime("2024-05-01 12:00:00"), S_OK);
  }
  bool Valid() {
    bool valid = true;
    EXPECT_EQ(QrnCheckHashValue(&valid), S_OK);
    return valid;
  }
  test::HiveSandbox sandbox_;
};

TEST_F(CacheHash, CoversTheFilesAsTextAndIsStoredInBothHives) {
  WriteCache();
  const std::string timestamp_file = test::ReadFile(Path(kTimestampFile));
  ASSERT_NE(timestamp_file.find("\r\n"), std::string::npos);
  // The timestamp file's CR LF counts as one LF, as a text-mode read gives it.
  const std::string expected =
      ExpectedHash({EncryptString(kApplications), EncryptString(kRoles), EncryptString(kAcls),
                    Replace(timestamp_file, "\r\n", "\n")});
  std::string hash;
  ASSERT_EQ(QrnGetHashValue(&hash), S_OK);
  EXPECT_EQ(hash, expected);
  EXPECT_EQ(hash.size(), 24u);
  EXPECT_EQ(hash.substr(22), "==");
  EXPECT_EQ(StoredValue(RegHive::CurrentUser), expected);
  EXPECT_EQ(StoredValue(RegHive::LocalMachine), expected);
  EXPECT_TRUE(Valid());

  // A folder copied from a machine that wrote LF only validates alike.
  test::WriteFile(Path(kTimestampFile), Replace(timestamp_file, "\r\n", "\n"));
  EXPECT_TRUE(Valid());
}

TEST_F(CacheHash, ChangesMakeTheCacheInvalidWithoutAnError) {
  WriteCache();
  ASSERT_TRUE(Valid());
  const std::string stored = StoredValue(RegHive::LocalMachine);

  // A document rewritten without SetCacheTime.
  ASSERT_EQ(QrnEncryptBufferAndPersistInFile("<DOCUMENT/>", Path(kRoleCacheFile)), S_OK);
  EXPECT_FALSE(Valid());
  ASSERT_EQ(QrnEncryptBufferAndPersistInFile(kRoles, Path(kRoleCacheFile)), S_OK);
  ASSERT_TRUE(Valid());

  // A stored hash that differs only in letter case.
  std::string other_case = stored;
  for (char& c : other_case)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  ASSERT_NE(other_case, stored);
  StoreValue(RegHive::LocalMachine, other_case);
  EXPECT_FALSE(Valid());
  StoreValue(RegHive::LocalMachine, stored);

  // A missing file: an empty hash, no error, and nothing loaded.
  std::filesystem::remove(Path(kAclCacheFile));
  EXPECT_FALSE(Valid());
  std::string hash = "x";
  EXPECT_EQ(QrnGetHashValue(&hash), S_OK);
  EXPECT_EQ(hash, "");
  int16_t status = 0;
  IQrnXml2 *application = nullptr, *role = nullptr, *acl = nullptr;
  EXPECT_EQ(QrnCheckCachedFiles(&status, &application, &role, &acl), S_OK);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(application, nullptr);
  EXPECT_EQ(acl, nullptr);
}

TEST_F(CacheHash, MachineValueFirstUserValueWhenTheMachineHasNone) {
  // A machine hive that cannot be written: the store skips it silently. (The
  // URL is known to the process before the hive breaks.)
  char url[260];
  uint32_t size = sizeof url;
  ASSERT_EQ(GetAuthUrl(url, &size), S_OK);
  sandbox_.WriteMachineHive("not a registry file\n");
  HiveChanged();
  WriteCache();
  EXPECT_EQ(StoredValue(RegHive::LocalMachine), "<none>");
  std::string hash;
  ASSERT_EQ(QrnGetHashValue(&hash), S_OK);
  EXPECT_EQ(StoredValue(RegHive::CurrentUser), hash);
  EXPECT_TRUE(Valid());

  // A machine value of the wrong type does not count; the user's does.
  sandbox_.WriteMachineHive("Windows Registry Editor Version 5.00\n");
  HiveChanged();
  RegistryKey key;
  ASSERT_EQ(key.Create(RegHive::LocalMachine, kSecurityKey), platform::ERROR_SUCCESS);
  const uint32_t number = 1;
  ASSERT_EQ(key.SetRaw(kCacheValidationValue, platform::REG_DWORD, &number, 4),
            platform::ERROR_SUCCESS);
  EXPECT_TRUE(Valid());

  // A machine value that counts wins over the user's, right or wrong.
  StoreValue(RegHive::LocalMachine, "AAAAAAAAAAAAAAAAAAAAAA==");
  EXPECT_FALSE(Valid());
}

TEST_F(CacheHash, CheckedFilesLoadOrFailWhole) {
  WriteCache();
  int16_t status = 0;
  IQrnXml2 *application = nullptr, *role = nullptr, *acl = nullptr;
  ASSERT_EQ(QrnCheckCachedFiles(&status, &application, &role, &acl), S_OK);
  EXPECT_EQ(status, 1);
  ASSERT_NE(application, nullptr);
  ASSERT_NE(role, nullptr);
  ASSERT_NE(acl, nullptr);

  // A one-character document counts as loaded with no object; the objects
  // held are released by the next call.
  ASSERT_EQ(QrnEncryptBufferAndPersistInFile("x", Path(kRoleCacheFile)), S_OK);
  ASSERT_EQ(StoreCacheValidation(), S_OK);
  ASSERT_EQ(QrnCheckCachedFiles(&status, &application, &role, &acl), S_OK);
  EXPECT_EQ(status, 1);
  EXPECT_NE(application, nullptr);
  EXPECT_EQ(role, nullptr);

  // A file whose hash matches but which does not parse fails the load.
  test::WriteFile(Path(kAclCacheFile), EncryptString("<DOCUMENT><broken"));
  ASSERT_EQ(StoreCacheValidation(), S_OK);
  EXPECT_TRUE(FAILED(QrnCheckCachedFiles(&status, &application, &role, &acl)));
  EXPECT_EQ(status, -1);
  EXPECT_EQ(application, nullptr);
  EXPECT_EQ(acl, nullptr);
  EXPECT_EQ(QrnCheckCachedFiles(&status, nullptr, &role, &acl), E_INVALIDARG);
}

TEST_F(CacheHash, WhatOneProcessWritesAnotherValidatesAndLoads) {
  WriteCache();
  test::ProcessResult verify = test::RunProcess({test::CliPath(), "cache", "verify"});
  EXPECT_EQ(verify.exit_code, 0) << verify.out << verify.err;
  EXPECT_NE(verify.out.find("valid: yes"), std::string::npos);

  test::ProcessResult show = test::RunProcess({test::CliPath(), "cache", "show"});
  EXPECT_EQ(show.exit_code, 0) << show.err;
  size_t parsed = 0;
  for (size_t at = show.out.find("parses: yes"); at != std::string::npos;
       at = show.out.find("parses: yes", at + 1))
    ++parsed;
  EXPECT_EQ(parsed, 3u) << show.out;
  EXPECT_NE(show.out.find("timestamp: 2024-05-01 12:00:00 url: " + std::string(kUrl)),
            std::string::npos)
      << show.out;
  test::ProcessResult roles = test::RunProcess({test::CliPath(), "cache", "show", kRoleCacheFile});
  EXPECT_EQ(roles.out, std::string(kRoles) + "\n");

  // Changed here, the other process sees the cache invalid.
  test::WriteFile(Path(kApplicationCacheFile), EncryptString("<DOCUMENT/>"));
  verify = test::RunProcess({test::CliPath(), "cache", "verify"});
  EXPECT_EQ(verify.exit_code, 1) << verify.out;
}

// What a text-mode read in pieces feeds the hash, written out plainly: CR LF
// becomes LF, pieces of at most 1023 characters end after a line end, and
// each piece counts up to its first NUL.
std::string TextModePieces(const std::string& raw) {
  std::string text;
  for (size_t i = 0; i < raw.size(); ++i)
    if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) text += raw[i];
  std::string fed;
  for (size_t start = 0; start < text.size();) {
    size_t end = start;
    while (end < text.size() && end - start < 1023 && (end == start || text[end - 1] != '\n'))
      ++end;
    const std::string piece = text.substr(start, end - start);
    fed += piece.substr(0, piece.find('\0'));
    start = end;
  }
  return fed;
}

TEST_F(CacheHash, FilesOfAnyContentHashAsTheirTextModePieces) {
  std::string long_line(3000, 'x');
  long_line[1500] = '\0';  // cuts its piece, not the file
  const std::vector<std::string> contents = {
      "a\r\nb\rc\r\r\nd\r",                       // CR LF, lone CRs, a CR at the end
      long_line + "\r\n" + std::string(2000, 'y'),  // pieces cut by length
      std::string("one\n") + '\0' + "two\nthree\r\n",  // a NUL at a piece's start
      std::string(5000, 'z') + "\r"};
  const char* names[] = {kApplicationCacheFile, kRoleCacheFile, kAclCacheFile, kTimestampFile};
  std::vector<std::string> fed;
  for (size_t i = 0; i < 4; ++i) {
    test::WriteFile(Path(names[i]), contents[i]);
    fed.push_back(TextModePieces(contents[i]));
  }
  std::string hash;
  ASSERT_EQ(QrnGetHashValue(&hash), S_OK);
  EXPECT_EQ(hash, ExpectedHash(fed));
}

// A writer that hashes the document bytes it has just written (instead of
// reading the files back) stores the hash a later reader computes from the
// files, whatever the bytes: CR LF, lone CRs, NULs, long lines, empty files.
TEST_F(CacheHash, HashOfWrittenBytesIsTheHashOfTheFiles) {
  std::string long_line(3000, 'x');
  long_line[1500] = '\0';
  const std::vector<std::vector<std::string>> sets = {
      {EncryptString(kApplications), EncryptString(kRoles), EncryptString(kAcls)},
      {"a\r\nb\rc\r\r\nd\r", long_line + "\r\n" + std::string(2000, 'y'),
       std::string("one\n") + '\0' + "two\nthree\r\n"},
      {"", std::string(5000, 'z') + "\r", std::string(1, '\0')},
  };
  const char* names[] = {kApplicationCacheFile, kRoleCacheFile, kAclCacheFile};
  for (const std::vector<std::string>& set : sets) {
    SCOPED_TRACE(set[0]);
    for (size_t i = 0; i < 3; ++i) test::WriteFile(Path(names[i]), set[i]);
    ASSERT_EQ(CQRNAuthorize::SetCacheTime("2024-05-01 12:00:00"), S_OK);
    StoreValue(RegHive::CurrentUser, "stale");
    StoreValue(RegHive::LocalMachine, "stale");
    HiveChanged();
    const std::string_view written[3] = {set[0], set[1], set[2]};
    ASSERT_EQ(StoreCacheValidationOfWritten(written), S_OK);
    HiveChanged();
    std::string from_files;
    ASSERT_EQ(QrnGetHashValue(&from_files), S_OK);
    ASSERT_EQ(from_files.size(), 24u);
    EXPECT_EQ(StoredValue(RegHive::CurrentUser), from_files);
    EXPECT_EQ(StoredValue(RegHive::LocalMachine), from_files);
    EXPECT_TRUE(Valid());
  }

  // Without a timestamp file no reader gets a hash, and none is stored.
  StoreValue(RegHive::CurrentUser, "stale");
  std::filesystem::remove(Path(kTimestampFile));
  const std::string_view written[3] = {"a", "b", "c"};
  ASSERT_EQ(StoreCacheValidationOfWritten(written), S_OK);
  HiveChanged();
  EXPECT_EQ(StoredValue(RegHive::CurrentUser), "stale");
}

}  // namespace
// The documents are decrypted while the hash is taken; what a folder that
// does not validate would have said about its documents stays unsaid, and a
// folder that validates reports its failing document once.
TEST_F(CacheHash, OnlyAFolderThatValidatesReportsItsDocuments) {
  WriteCache();
  test::WriteFile(Path(kAclCacheFile), EncryptString("<DOCUMENT><broken"));
  const int32_t before = authorizationTrail.count;
  int16_t status = 0;
  IQrnXml2 *application = nullptr, *role = nullptr, *acl = nullptr;
  EXPECT_EQ(QrnCheckCachedFiles(&status, &application, &role, &acl), S_OK);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(application, nullptr);
  EXPECT_EQ(role, nullptr);
  EXPECT_EQ(authorizationTrail.count, before);

  ASSERT_EQ(StoreCacheValidation(), S_OK);
  EXPECT_TRUE(FAILED(QrnCheckCachedFiles(&status, &application, &role, &acl)));
  EXPECT_EQ(status, -1);
  EXPECT_EQ(application, nullptr);
  EXPECT_EQ(role, nullptr);
  EXPECT_EQ(authorizationTrail.count, std::min(before + 1, 6));
}

}  // namespace qrn
