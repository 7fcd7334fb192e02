// The configuration readers against real hive files: the value rules, the
// cache folder, the URL and its one-pass values, SetSecurityServer, the
// sticky flags, the ages, the audit selector read at load, and the Mvtlog
// flag.
#include "frame/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frame/diagnostic_log.h"
#include "qrnauth/qrnauth.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

using platform::RegHive;
using platform::RegistryKey;

class ConfigTest : public ::testing::Test {
 protected:
  void SetRaw(const char* name, uint32_t type, const std::string& data,
              RegHive hive = RegHive::LocalMachine, const char* key = kConfigKey) {
    RegistryKey opened;
    ASSERT_EQ(opened.Create(hive, key), platform::ERROR_SUCCESS);
    ASSERT_EQ(opened.SetRaw(name, type, data.data(), static_cast<uint32_t>(data.size())),
              platform::ERROR_SUCCESS);
  }
  void SetString(const char* name, const std::string& text) {
    SetRaw(name, platform::REG_SZ, text + std::string(1, '\0'));
  }
  void SetDword(const char* name, uint32_t value) {
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>(value >> (8 * i));
    SetRaw(name, platform::REG_DWORD, data);
  }
  std::string Folder(const std::string& name) {
    std::string path = sandbox_.dir().File(name);
    mkdir(path.c_str(), 0755);
    return path;
  }
  // GetAuthUrl / GetCachePath into a 260-byte buffer.
  static HRESULT Url(std::string* out) { return Read(GetAuthUrl, out); }
  static HRESULT CachePath(std::string* out) { return Read(GetCachePath, out); }
  static HRESULT Read(HRESULT (*reader)(char*, uint32_t*), std::string* out) {
    char buffer[260];
    uint32_t size = sizeof buffer;
    HRESULT hr = reader(buffer, &size);
    *out = buffer;
    if (hr == S_OK) {
      EXPECT_EQ(size, out->size());
    }
    return hr;
  }

  // One line of "qrnauth config show", run as a fresh process with this
  // test's hives.
  std::string ShowValue(const std::string& name) {
    auto result = test::RunProcess({test::CliPath(), "config", "show"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    std::string prefix = name + ": ";
    size_t at = result.out.find("\n" + prefix);
    if (result.out.compare(0, prefix.size(), prefix) == 0) {
      at = 0;
    } else if (at != std::string::npos) {
      ++at;
    } else {
      ADD_FAILURE() << "no " << name << " in " << result.out;
      return {};
    }
    size_t end = result.out.find('\n', at);
    return result.out.substr(at + prefix.size(), end - at - prefix.size());
  }

  test::HiveSandbox sandbox_;
};

TEST_F(ConfigTest, DwordCountsOnlyAsFourByteRegDword) {
  uint32_t value = 99;
  EXPECT_FALSE(ReadDwordValue(RegHive::LocalMachine, kConfigKey, "Missing", &value));
  SetDword("Good", 0x01020304);
  SetString("Text", "5");
  SetRaw("Short", platform::REG_DWORD, std::string("\x01\x00", 2));
  SetRaw("Binary", platform::REG_BINARY, std::string(4, '\x01'));
  EXPECT_TRUE(ReadDwordValue(RegHive::LocalMachine, kConfigKey, "good", &value));
  EXPECT_EQ(value, 0x01020304u);
  value = 7;
  EXPECT_FALSE(ReadDwordValue(RegHive::LocalMachine, kConfigKey, "Text", &value));
  EXPECT_FALSE(ReadDwordValue(RegHive::LocalMachine, kConfigKey, "Short", &value));
  EXPECT_FALSE(ReadDwordValue(RegHive::LocalMachine, kConfigKey, "Binary", &value));
  EXPECT_EQ(value, 7u);
  EXPECT_FALSE(ReadDwordValue(RegHive::LocalMachine, "SOFTWARE\\Nothing", "Good", &value));
}

TEST_F(ConfigTest, StringTypesAndTerminators) {
  SetString("Sz", "plain");
  SetRaw("NoNul", platform::REG_SZ, "abc");
  SetRaw("Expand", platform::REG_EXPAND_SZ, std::string("%HOME%\\x\0", 9));
  SetRaw("Multi", platform::REG_MULTI_SZ, std::string("one\0two\0\0", 9));
  SetRaw("MultiOneNul", platform::REG_MULTI_SZ, std::string("one\0", 4));
  SetRaw("Empty", platform::REG_SZ, "");
  SetRaw("EmptyMulti", platform::REG_MULTI_SZ, "");
  SetRaw("Dword", platform::REG_DWORD, std::string(4, '\0'));
  SetRaw("Binary", platform::REG_BINARY, std::string("ab\0", 3));

  struct Case {
    const char* name;
    bool counts;
    const char* text;
  } cases[] = {
      {"Sz", true, "plain"},    {"NoNul", false, ""},       {"Expand", true, "%HOME%\\x"},
      {"Multi", true, "one"},   {"MultiOneNul", false, ""}, {"Empty", true, ""},
      {"EmptyMulti", true, ""}, {"Dword", false, ""},       {"Binary", false, ""},
      {"Missing", false, ""},
  };
  for (const auto& c : cases) {
    std::string value = "left over";
    EXPECT_EQ(ReadStringValue(RegHive::LocalMachine, kConfigKey, c.name, 256, &value), c.counts)
        << c.name;
    EXPECT_EQ(value, c.text) << c.name;
  }
}

TEST_F(ConfigTest, StringLargerThanItsBufferIsAbsent) {
  SetString("Fits", std::string(255, 'a'));     // 256 bytes with the NUL
  SetString("TooLong", std::string(256, 'a'));  // 257 bytes
  std::string value;
  EXPECT_TRUE(ReadStringValue(RegHive::LocalMachine, kConfigKey, "Fits", 256, &value));
  EXPECT_EQ(value.size(), 255u);
  EXPECT_FALSE(ReadStringValue(RegHive::LocalMachine, kConfigKey, "TooLong", 256, &value));
  EXPECT_EQ(value, "");
  EXPECT_TRUE(ReadStringValue(RegHive::LocalMachine, kConfigKey, "TooLong", 257, &value));
}

TEST_F(ConfigTest, CachePathIsTrimmedNormalisedAndKept) {
  std::string dir = Folder("cache");
  Folder("cache/sub");
  SetString("CachePath", " \t" + dir + "//sub  ");
  std::string folder;
  ASSERT_EQ(CachePath(&folder), S_OK);
  EXPECT_EQ(folder, dir + "/sub/");
  // Resolved once: a later change of the value is not seen.
  SetString("CachePath", dir);
  ASSERT_EQ(CachePath(&folder), S_OK);
  EXPECT_EQ(folder, dir + "/sub/");
}

// A folder whose name is exactly `length` bytes long (no trailing separator).
std::string LongFolder(const std::string& base, size_t length) {
  std::string path = base;
  while (path.size() < length) {
    size_t remaining = length - path.size();
    // Components of at most 100 bytes; never leave a single byte to fill.
    size_t part = remaining > 101 ? (remaining == 102 ? 99 : 100) : remaining - 1;
    path += "/" + std::string(part, 'n');
    mkdir(path.c_str(), 0755);
  }
  return path;
}

TEST_F(ConfigTest, CachePathNormalisationAndFallbacks) {
  std::string dir = Folder("c");
  Folder("c/d");
  std::string backslashed = dir + "\\d\\";
  for (char& ch : backslashed) {
    if (ch == '/') ch = '\\';
  }
  std::string read_only = Folder("ro");
  chmod(read_only.c_str(), 0555);
  std::string file = sandbox_.dir().File("plain-file");
  test::WriteFile(file, "x");
  std::string usable_long = LongFolder(Folder("long"), 258);  // 259 with the separator
  std::string too_long = LongFolder(Folder("longer"), 259);   // 260 with the separator
  ASSERT_EQ(usable_long.size(), 258u);
  ASSERT_EQ(too_long.size(), 259u);

  struct Case {
    std::string value;
    std::string folder;
  } cases[] = {
      {backslashed, dir + "/d/"},
      // Three separators fold as one pair and a single one: two remain.
      {dir + "///d", dir + "//d/"},
      {read_only, sandbox_.temp_folder()},
      {file, sandbox_.temp_folder()},
      {sandbox_.dir().File("missing"), sandbox_.temp_folder()},
      {"  ", sandbox_.temp_folder()},  // empty after trimming: not the root folder
      {too_long, sandbox_.temp_folder()},
      {usable_long, usable_long + "/"},
  };
  // The folder is resolved once per process: ask a fresh child each time.
  for (const auto& c : cases) {
    SetString("CachePath", c.value);
    EXPECT_EQ(ShowValue("cache-folder"), c.folder) << c.value;
  }
}

TEST_F(ConfigTest, CachePathBufferTooSmall) {
  std::string dir = Folder("cache");
  SetString("CachePath", dir);
  const std::string temp = sandbox_.temp_folder();
  char buffer[260] = "x";
  // Too small for the configured folder and for the temp folder: E_FAIL with
  // the temp folder's need, and nothing is kept.
  uint32_t size = 3;
  EXPECT_EQ(GetCachePath(buffer, &size), E_FAIL);
  EXPECT_EQ(size, temp.size() + 1);
  EXPECT_EQ(buffer[0], '\0');
  size = sizeof buffer;
  ASSERT_EQ(GetCachePath(buffer, &size), S_OK);
  EXPECT_EQ(std::string(buffer), dir + "/");
  // Once known, a buffer without room for the terminator gets the length.
  size = static_cast<uint32_t>(dir.size() + 1);
  EXPECT_EQ(GetCachePath(buffer, &size), E_FAIL);
  EXPECT_EQ(size, dir.size() + 1);
}

TEST_F(ConfigTest, CachePathTooSmallForConfiguredFolderFallsBackToTemp) {
  const std::string temp = sandbox_.temp_folder();
  std::string dir = LongFolder(Folder("deep"), temp.size() + 20);
  SetString("CachePath", dir);
  char buffer[260];
  uint32_t size = static_cast<uint32_t>(temp.size() + 1);
  ASSERT_EQ(GetCachePath(buffer, &size), S_OK);
  EXPECT_EQ(std::string(buffer), temp);
}

TEST_F(ConfigTest, UrlIsReadUntilFoundThenNeverAgain) {
  std::string url;
  // No key at all, then a key without "URL": each call reads again and fails.
  EXPECT_EQ(Url(&url), E_FAIL);
  SetDword("NTGroupSupport", 1);
  EXPECT_EQ(Url(&url), E_FAIL);
  EXPECT_EQ(url, "");
  // The one-pass values are read even though no URL was found.
  EXPECT_TRUE(ConfigSnapshot().nt_group_support);

  SetString("URL", "  http://127.0.0.1:8080/mvt/security.aspx \t");
  SetString("SourceDomainForGroups", " LDAP://dc=a;LDAP://dc=b ");
  ASSERT_EQ(Url(&url), S_OK);
  EXPECT_EQ(url, "http://127.0.0.1:8080/mvt/security.aspx");
  EXPECT_TRUE(ConfigSnapshot().source_domains_known);
  EXPECT_EQ(ConfigSnapshot().source_domains, "LDAP://dc=a;LDAP://dc=b");

  // Known: neither the URL nor the one-pass values are read again.
  SetString("URL", "http://other/");
  SetDword("UseServerADSI", 1);
  SetDword("EventLogging", 1);
  ASSERT_EQ(Url(&url), S_OK);
  EXPECT_EQ(url, "http://127.0.0.1:8080/mvt/security.aspx");
  EXPECT_FALSE(ConfigSnapshot().server_adsi);
  EXPECT_FALSE(EventLoggingEnabled());

  char small[8];
  uint32_t size = sizeof small;
  EXPECT_EQ(GetAuthUrl(small, &size), E_FAIL);
  EXPECT_EQ(size, url.size());
  EXPECT_EQ(small[0], '\0');
}

TEST_F(ConfigTest, UrlOfWrongTypeIsAbsentAndEmptyUrlCounts) {
  SetRaw("URL", platform::REG_BINARY, "http://x/");
  std::string url;
  EXPECT_EQ(Url(&url), E_FAIL);
  SetString("URL", "");
  EXPECT_EQ(Url(&url), S_OK);
  EXPECT_EQ(url, "");
  EXPECT_TRUE(ConfigSnapshot().server_url_known);
}

TEST_F(ConfigTest, SecurityServerKeyDifferingInCaseIsRefused) {
  SetString("URL", "http://registry/");
  std::u16string key = kSecurityServerKey;
  for (auto& c : key) {
    if (c >= u'A' && c <= u'F') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  EXPECT_EQ(SetSecurityServer(key.c_str(), u"http://given/"), E_INVALIDARG);
  EXPECT_EQ(SetSecurityServer(nullptr, u"http://given/"), E_INVALIDARG);
  EXPECT_EQ(SetSecurityServer((key + u" ").c_str(), u"http://given/"), E_INVALIDARG);
  bool web_server = true;
  EXPECT_EQ(QrnIsWebServer(&web_server), S_OK);
  EXPECT_FALSE(web_server);
  std::string url;
  ASSERT_EQ(Url(&url), S_OK);
  EXPECT_EQ(url, "http://registry/");
}

TEST_F(ConfigTest, SecurityServerUrlWinsAndSkipsTheRegistryPass) {
  SetString("URL", "http://registry/");
  SetDword("UseServerADSI", 1);
  SetDword("NTGroupSupport", 1);
  SetString("SourceDomainForGroups", "LDAP://dc=x");
  ASSERT_EQ(SetSecurityServer(kSecurityServerKey, u"http://given/mvt/s\u00e4curity.aspx"), S_OK);
  std::string url;
  ASSERT_EQ(Url(&url), S_OK);
  EXPECT_EQ(url,
            "http://given/mvt/s\xc3\xa4"
            "curity.aspx");
  EXPECT_FALSE(ConfigSnapshot().server_adsi);
  EXPECT_FALSE(ConfigSnapshot().nt_group_support);
  EXPECT_FALSE(ConfigSnapshot().source_domains_known);
  bool web_server = false;
  QrnIsWebServer(&web_server);
  EXPECT_TRUE(web_server);
}

TEST_F(ConfigTest, SecurityServerRefusesLongUrlAndKeepsThePrevious) {
  ASSERT_EQ(SetSecurityServer(kSecurityServerKey, u"http://first/"), S_OK);
  std::u16string longest = u"http://" + std::u16string(252, u'a');  // 259 bytes
  std::u16string too_long = longest + u"a";
  // Two-byte characters count as two bytes of the store.
  std::u16string wide = u"http://" + std::u16string(126, u'\u00e9');  // 259 bytes
  EXPECT_EQ(SetSecurityServer(kSecurityServerKey, too_long.c_str()), E_FAIL);
  EXPECT_EQ(SetSecurityServer(kSecurityServerKey, (wide + u"\u00e9").c_str()), E_FAIL);
  EXPECT_EQ(SetSecurityServer(kSecurityServerKey, nullptr), E_FAIL);
  std::string url;
  ASSERT_EQ(Url(&url), S_OK);
  EXPECT_EQ(url, "http://first/");
  EXPECT_EQ(SetSecurityServer(kSecurityServerKey, wide.c_str()), S_OK);
  ASSERT_EQ(SetSecurityServer(kSecurityServerKey, longest.c_str()), S_OK);
  ASSERT_EQ(Url(&url), S_OK);
  EXPECT_EQ(url.size(), 259u);
}

TEST_F(ConfigTest, RefusedUrlLeavesTheUrlUnknown) {
  std::u16string too_long = u"http://" + std::u16string(300, u'a');
  EXPECT_EQ(SetSecurityServer(kSecurityServerKey, too_long.c_str()), E_FAIL);
  EXPECT_FALSE(ConfigSnapshot().server_url_known);
  SetString("URL", "http://registry/");
  std::string url;
  ASSERT_EQ(Url(&url), S_OK);
  EXPECT_EQ(url, "http://registry/");
}

TEST_F(ConfigTest, NovellFlagNeedsExactlyOneAndIsReadOnce) {
  SetDword("NovellClient", 2);
  SetDword("EventLogging", 5);
  bool novell = true;
  EXPECT_EQ(MvtIsNovellClient(&novell), S_OK);
  EXPECT_FALSE(novell);
  EXPECT_TRUE(EventLoggingEnabled());
  SetDword("NovellClient", 1);
  MvtIsNovellClient(&novell);
  EXPECT_FALSE(novell);
}

TEST_F(ConfigTest, WebServerFlagIsReadOnce) {
  SetString("WebServer", "");
  bool flag = true;
  QrnIsWebServer(&flag);
  EXPECT_FALSE(flag);
  SetString("WebServer", "yes");
  QrnIsWebServer(&flag);
  EXPECT_FALSE(flag);
}

TEST_F(ConfigTest, AgesKeepThePreviousValueForZero) {
  SetDword("RoleCacheAge", 0);
  SetString("GroupBackupAge", "30");
  ReadRoleCacheAge();
  ReadGroupBackupAge();
  EXPECT_EQ(ConfigSnapshot().role_cache_age, 720u);
  EXPECT_EQ(ConfigSnapshot().group_backup_age, 1440u);
  SetDword("RoleCacheAge", 30);
  SetDword("GroupBackupAge", 60);
  ReadRoleCacheAge();
  ReadGroupBackupAge();
  EXPECT_EQ(ConfigSnapshot().role_cache_age, 30u);
  EXPECT_EQ(ConfigSnapshot().group_backup_age, 60u);
  SetDword("RoleCacheAge", 0);
  ReadRoleCacheAge();
  EXPECT_EQ(ConfigSnapshot().role_cache_age, 30u);
}

TEST_F(ConfigTest, ServiceAccountNeedsBothValues) {
  std::string user = "u", password = "p";
  EXPECT_FALSE(ReadServiceAccount(&user, &password));
  SetString("ZTLPwd", "secret");
  EXPECT_FALSE(ReadServiceAccount(&user, &password));
  SetString("ZTLUser", "svc");
  EXPECT_TRUE(ReadServiceAccount(&user, &password));
  EXPECT_EQ(user, "svc");
  EXPECT_EQ(password, "secret");
  SetRaw("ZTLPwd", platform::REG_SZ, "no terminator");
  EXPECT_FALSE(ReadServiceAccount(&user, &password));
}

TEST_F(ConfigTest, AuditSelectorIsReadAtLoad) {
  // No key at all.
  EXPECT_EQ(ShowValue("audit-selector"), "2");
  SetDword("Other", 1);  // key without the value
  EXPECT_EQ(ShowValue("audit-selector"), "2");
  SetString("LogInfoToServer", "1");
  EXPECT_EQ(ShowValue("audit-selector"), "2");
  SetDword("LogInfoToServer", 3);
  EXPECT_EQ(ShowValue("audit-selector"), "3");
  SetDword("LogInfoToServer", 0);
  EXPECT_EQ(ShowValue("audit-selector"), "0");
}

TEST_F(ConfigTest, MvtLogFollowsTheRegistryAtOnce) {
  EXPECT_FALSE(MvtLogEnabled());
  SetDword("Mvtlog", 1);
  EXPECT_TRUE(MvtLogEnabled());
  EXPECT_TRUE(MvtLogEnabled());
  SetDword("Mvtlog", 2);
  EXPECT_FALSE(MvtLogEnabled());
  SetDword("Mvtlog", 1);
  EXPECT_TRUE(MvtLogEnabled());
  SetString("Mvtlog", "1");
  EXPECT_FALSE(MvtLogEnabled());
}

TEST_F(ConfigTest, MvtLogSeesAChangeByAnotherProcess) {
  SetDword("Mvtlog", 1);
  EXPECT_TRUE(MvtLogEnabled());
  auto result = test::RunProcess({test::CliPath(), "config", "set", "HKLM\\SOFTWARE\\Korvane\\MVT",
                                  "Mvtlog", "REG_DWORD", "0"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // The registry module re-checks the file at most once a millisecond.
  bool enabled = true;
  for (int i = 0; i < 2000 && enabled; ++i) {
    enabled = MvtLogEnabled();
    if (enabled) usleep(1000);
  }
  EXPECT_FALSE(enabled);
}

}  // namespace
}  // namespace qrn
