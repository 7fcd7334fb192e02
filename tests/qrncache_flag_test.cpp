// The cache-flag decision against a real qrnsecd: the decision table row by
// row (the file-name rows run the CLI as a host named wkz, and the library
// under another name), the availability check with an unreachable, an old
// and an empty server, and the process-wide record of the answer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "frame/config.h"
#include "frame/trail.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "security/common/qrncache.h"
#include "tests/support/http_responder.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

namespace fs = std::filesystem;
using platform::RegHive;
using platform::RegistryKey;

constexpr char kFlagSource[] = "security/common/qrncache(";

// Every recorded authorization trail entry as "status|step|detail|source".
std::vector<std::string> TrailRows() {
  std::vector<std::string> rows;
  std::lock_guard<std::mutex> guard(authorizationTrail.lock);
  if (authorizationTrail.errors.vt != (VT_ARRAY | VT_VARIANT)) return rows;
  SAFEARRAY* array = authorizationTrail.errors.parray;
  for (LONG row = 0; row < authorizationTrail.count; ++row) {
    std::string text;
    for (LONG column = 0; column < 4; ++column) {
      LONG index[2] = {row, column};
      VARIANT cell;
      VariantInit(&cell);
      if (FAILED(SafeArrayGetElement(array, index, &cell))) continue;
      if (cell.vt == VT_BSTR)
        text +=
            platform::Utf16ToUtf8(std::u16string_view(cell.bstrVal, SysStringLen(cell.bstrVal)));
      else if (cell.vt == VT_I4)
        text += std::to_string(cell.lVal);
      text += column < 3 ? "|" : "";
      VariantClear(&cell);
    }
    rows.push_back(text);
  }
  return rows;
}

void SetUrl(const std::string& url) {
  RegistryKey key;
  ASSERT_EQ(key.Create(RegHive::LocalMachine, kConfigKey), platform::ERROR_SUCCESS);
  ASSERT_EQ(key.SetString("URL", url), platform::ERROR_SUCCESS);
}

void SetLocalProfile(uint32_t value) {
  RegistryKey key;
  ASSERT_EQ(key.Create(RegHive::CurrentUser, kWkzKey), platform::ERROR_SUCCESS);
  ASSERT_EQ(key.SetRaw(kLocalProfileValue, platform::REG_DWORD, &value, sizeof value),
            platform::ERROR_SUCCESS);
}

// A loopback port on which nothing listens.
int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

int CountLines(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// The sample data with its own timestamp and local groups level 1.
std::string DataFile(const test::TempDir& dir) {
  std::string json = test::ReadFile(test::SampleDataPath());
  const std::string level = "\"localGroupsLevel\": 3";
  const size_t at = json.find(level);
  EXPECT_NE(at, std::string::npos);
  json.replace(at, level.size(),
               "\"localGroupsLevel\": 1, \"timestamp\": \"12/01/2026 4:42:00 PM\"");
  const std::string path = dir.File("data.json");
  test::WriteFile(path, json);
  return path;
}

class CacheFlag : public ::testing::Test {
 protected:
  test::HiveSandbox sandbox_;
};

TEST_F(CacheFlag, ServerAnswersOnceAndTheAnswerIsKeptProcessWide) {
  test::SecdProcess secd(DataFile(sandbox_.dir()));
  SetUrl(secd.url());
  EXPECT_FLOAT_EQ(ServerProtocolLevel(), 2.4f);
  EXPECT_EQ(LocalGroupsLevel(), 3);

  int16_t flag = 7;
  std::string timestamp;
  ASSERT_EQ(QrnGetCacheFlag(&flag, &timestamp), S_OK);
  EXPECT_EQ(flag, 0);
  EXPECT_TRUE(CacheFlagAskedServer());
  EXPECT_EQ(timestamp, "12/01/2026 4:42:00 PM");
  EXPECT_EQ(LocalGroupsLevel(), 1);
  EXPECT_FLOAT_EQ(ServerProtocolLevel(), 2.4f);
  EXPECT_EQ(SecurityParts().server_timestamp, "12/01/2026 4:42:00 PM");
  EXPECT_NE(SecurityParts().applications.find("<DOCUMENT>"), std::string::npos);
  EXPECT_FALSE(SecurityParts().roles.empty());
  EXPECT_FALSE(SecurityParts().acls.empty());
  // No timestamp file yet: the client timestamp sent is empty.
  EXPECT_EQ(secd.RequestLog(), "Object=MvtSecData&Operation=Get&ClientTimestamp=\n");

  // The availability entry is recorded although its status is 0; the test
  // program is no wkz host, so it carries line 508.
  std::vector<std::string> rows = TrailRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0],
            "Checking if MVT Server is available|0|"
            "MVT Security Server is available so local Cache would not be used|"
            "security/common/qrncache(508):InitCache.QrnGetCacheFlag.QrnCheckServerAvailability");

  // A second decision sends nothing and delivers no timestamp.
  std::string second = "untouched";
  flag = 7;
  ASSERT_EQ(QrnGetCacheFlag(&flag, &second), S_OK);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(second, "untouched");
  EXPECT_EQ(CountLines(secd.RequestLog()), 1);
  EXPECT_EQ(TrailRows().size(), 1u);

  // After a reset the server is asked again.
  ResetCacheFlag();
  EXPECT_FALSE(CacheFlagAskedServer());
  ASSERT_EQ(QrnGetCacheFlag(&flag, nullptr), S_OK);
  EXPECT_EQ(CountLines(secd.RequestLog()), 2);
  EXPECT_EQ(QrnGetCacheFlag(nullptr, nullptr), E_INVALIDARG);
}

TEST_F(CacheFlag, UnreachableServerMeansLocalCache) {
  SetUrl("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/mvt/security.aspx");
  int16_t flag = 0;
  std::string timestamp = "untouched";
  ASSERT_EQ(QrnGetCacheFlag(&flag, &timestamp), S_OK);
  EXPECT_EQ(flag, -1);
  EXPECT_EQ(timestamp, "untouched");
  std::vector<std::string> rows = TrailRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0],
            "Checking if MVT Server is available|1|"
            "MVT Security Server not available so local Cache would be used|"
            "security/common/qrncache(514):InitCache.QrnGetCacheFlag.QrnCheckServerAvailability");
  // The flag stays decided: a second call does not try again.
  ASSERT_EQ(QrnGetCacheFlag(&flag, nullptr), S_OK);
  EXPECT_EQ(flag, -1);
  EXPECT_EQ(TrailRows().size(), 1u);

  int16_t available = 5;
  ASSERT_EQ(QrnCheckServerAvailability(&available, nullptr), S_OK);
  EXPECT_EQ(available, 0);
}

TEST_F(CacheFlag, NoUrlMeansLocalCacheWithBothEntries) {
  int16_t flag = 0;
  ASSERT_EQ(QrnGetCacheFlag(&flag, nullptr), S_OK);
  EXPECT_EQ(flag, -1);
  std::vector<std::string> rows = TrailRows();
  // Then the decision itself records that the cache is used.
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NE(rows[2].find(std::string(kFlagSource) + "514):"), std::string::npos);
  EXPECT_NE(rows[0].find("|1|MVT Security Server not available"), std::string::npos);
  EXPECT_NE(rows[0].find(std::string(kFlagSource) + "573):InitCache.QrnGetCacheFlag."),
            std::string::npos);
  EXPECT_EQ(rows[1], "Reading the URL from the registry|" + std::to_string(E_FAIL) +
                         "|Failed to read the URL from registry|"
                         "security/common/qrncache(574):InitCache.QrnGetCacheFlag."
                         "QrnCheckServerAvailability.GetAuthUrl");
}

TEST_F(CacheFlag, OldServerFallsBackToTheDateRequest) {
  test::SecdProcess secd(DataFile(sandbox_.dir()), {"--old-server"});
  SetUrl(secd.url());
  int16_t flag = 5;
  std::string timestamp;
  ASSERT_EQ(QrnGetCacheFlag(&flag, &timestamp), S_OK);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(timestamp, "12/01/2026 4:42:00 PM");
  EXPECT_FLOAT_EQ(ServerProtocolLevel(), 2.3f);
  EXPECT_EQ(LocalGroupsLevel(), 1);
  // An empty combined answer leaves the security data parts empty.
  EXPECT_TRUE(SecurityParts().applications.empty());
  EXPECT_EQ(secd.RequestLog(),
            "Object=MvtSecData&Operation=Get&ClientTimestamp=\n"
            "Object=dateTime&Object2=LocalGroupsLevel\n");
}

TEST_F(CacheFlag, EmptyAnswersStillCountAsAvailable) {
  test::HttpResponder responder(test::HttpReply{200, "", {}, false});
  SetUrl(responder.url("/mvt/security.aspx"));
  int16_t available = 0;
  std::string timestamp = "untouched";
  ASSERT_EQ(QrnCheckServerAvailability(&available, &timestamp), S_OK);
  EXPECT_EQ(available, -1);
  EXPECT_EQ(timestamp, "");
  EXPECT_FLOAT_EQ(ServerProtocolLevel(), 2.3f);
  EXPECT_EQ(LocalGroupsLevel(), 3);
  EXPECT_EQ(responder.requests().size(), 2u);
}

// The rows that depend on the program's and the library's file names run the
// CLI as another program.
class CacheFlagHost : public CacheFlag {
 protected:
  // Copies the CLI into the test folder under `name` (it finds the library
  // through its run path) and runs "server check".
  test::ProcessResult RunAs(const std::string& name, std::vector<std::string> env = {}) {
    const std::string program = sandbox_.dir().File(name);
    fs::copy_file(test::CliPath(), program, fs::copy_options::overwrite_existing);
    return test::RunProcess({program, "server", "check"}, env);
  }
};

TEST_F(CacheFlagHost, WkzWithLocalProfileOneUsesTheCacheWithoutAsking) {
  test::SecdProcess secd(test::SampleDataPath());
  SetUrl(secd.url());
  SetLocalProfile(1);
  for (const char* host : {"wkz", "wkzd"}) {
    test::ProcessResult result = RunAs(host);
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_NE(result.out.find("cache-flag: -1"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("server-contacted: no"), std::string::npos);
  }
  // A program of another name asks the server whatever LocalProfile says.
  test::ProcessResult other = RunAs("wkz2");
  EXPECT_EQ(other.exit_code, 0) << other.err;
  EXPECT_NE(other.out.find("available: yes"), std::string::npos) << other.out;
  EXPECT_EQ(CountLines(secd.RequestLog()), 1);
}

TEST_F(CacheFlagHost, WkzAsksTheServerForAnotherProfileOrOnTheWebServer) {
  test::SecdProcess secd(test::SampleDataPath());
  SetUrl(secd.url());
  SetLocalProfile(2);
  test::ProcessResult result = RunAs("wkz");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("server-contacted: yes"), std::string::npos) << result.out;
  EXPECT_EQ(CountLines(secd.RequestLog()), 1);

  // On the web server itself LocalProfile does not count.
  SetLocalProfile(1);
  RegistryKey key;
  ASSERT_EQ(key.Create(RegHive::LocalMachine, kConfigKey), platform::ERROR_SUCCESS);
  ASSERT_EQ(key.SetString("WebServer", "yes"), platform::ERROR_SUCCESS);
  result = RunAs("wkz");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("server-contacted: yes"), std::string::npos) << result.out;
  EXPECT_EQ(CountLines(secd.RequestLog()), 2);

  // Without a server the wkz host falls back to the local cache.
  secd.Stop();
  result = RunAs("wkz");
  EXPECT_EQ(result.exit_code, 1) << result.err;
  EXPECT_NE(result.out.find("available: no"), std::string::npos) << result.out;
}

TEST_F(CacheFlagHost, LibraryUnderAnotherNameNeverAsks) {
  test::SecdProcess secd(test::SampleDataPath());
  SetUrl(secd.url());
  // The loader looks for the library's soname; here that is a link to a
  // copy named otherwise, and the library sees its own file's real name.
  const std::string folder = sandbox_.dir().File("lib");
  fs::create_directory(folder);
  const std::string library = folder + "/libmvtsecurity.so";
  fs::copy_file(fs::canonical(test::LibraryPath()), library);
  fs::create_symlink("libmvtsecurity.so", folder + "/libqrnauth.so.0");
  test::ProcessResult result =
      test::RunProcess({test::CliPath(), "server", "check"}, {"LD_LIBRARY_PATH=" + folder});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("library: " + fs::canonical(library).string()), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("cache-flag: 0"), std::string::npos);
  EXPECT_NE(result.out.find("server-contacted: no"), std::string::npos);
  EXPECT_EQ(secd.RequestLog(), "");

  // The same copy under the library's own versioned name asks.
  fs::remove(folder + "/libqrnauth.so.0");
  fs::rename(library, folder + "/libqrnauth.so.0");
  result = test::RunProcess({test::CliPath(), "server", "check"}, {"LD_LIBRARY_PATH=" + folder});
  EXPECT_NE(result.out.find("library: " + fs::canonical(folder + "/libqrnauth.so.0").string()),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("server-contacted: yes"), std::string::npos);
  EXPECT_EQ(CountLines(secd.RequestLog()), 1);
}

}  // namespace
}  // namespace qrn
