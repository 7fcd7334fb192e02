// Group resolution: normalising group list texts, the remote-server test,
// and GroupNames over each path with real components (qrnsecd, a canned
// HTTP responder for answers qrnsecd never gives, nss_wrapper accounts, and
// a NovellUserInfo component of the test's own).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/text.h"
#include "qrnauth/com.h"
#include "qrnauth/novell.h"
#include "qrnauth/qrnauthorize.h"
#include "security/common/qrnauthorize/group_list.h"
#include "tests/support/authorize_env.h"
#include "tests/support/http_responder.h"
#include "tests/support/nss_wrapper.h"

namespace qrn {
namespace {

using test::AuthorizeEnv;
using test::RegDword;
using Strings = std::vector<std::string>;

TEST(GroupList, SplitsAndNormalisesEveryEntryForm) {
  std::string text = "Everyone;WinNT://SALES/Operators;;WinNT://SALES/PC17/Administrators;";
  Strings entries = {"kept"};
  SplitGroupList(&text, &entries);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(entries, (Strings{"kept", "Everyone", "WinNT://SALES/Operators", "",
                              "WinNT://SALES/PC17/Administrators"}));
  text = "a;b";
  entries.clear();
  SplitGroupList(&text, &entries);
  EXPECT_EQ(entries, (Strings{"a", "b"}));

  const Strings rows = {"WinNT://SALES/Operators",
                        "WinNT://SALES/PC17/Administrators",
                        "SALES/Operators",
                        "  Everyone \t",
                        "everyone",
                        "SALES\\Operators",
                        "WinNT://Operators",
                        "",
                        "SALES/Operators",
                        "/Lonely",
                        "SALES/",
                        "\xC3\x84RZTE/M\xC3\xBCller"};
  Strings groups = {"first"};
  EXPECT_EQ(BuildGroupArray3(rows, &groups), S_OK);
  EXPECT_EQ(groups, (Strings{"first", "SALES\\Operators", "PC17\\Administrators",
                             "SALES\\Operators", "Everyone", "everyone", "WinNT:/\\Operators",
                             "SALES\\Operators", "\\Lonely", "\xC3\x84RZTE\\M\xC3\xBCller"}));
}

TEST(GroupList, RemoteServerTest) {
  EXPECT_EQ(ServerHostOfUrl("http://PC17/mvt/security.aspx"), "PC17");
  EXPECT_EQ(ServerHostOfUrl("  http://srv:8080/x"), "srv:8080");
  EXPECT_EQ(ServerHostOfUrl("https://PC17/x"), "https:");
  EXPECT_FALSE(IsRemoteServer("http://pc17/mvt/security.aspx", "PC17"));
  EXPECT_FALSE(IsRemoteServer("http://LocalHost/mvt/security.aspx", "PC17"));
  EXPECT_TRUE(IsRemoteServer("https://localhost/mvt/security.aspx", "PC17"));
  EXPECT_TRUE(IsRemoteServer("https://PC17/mvt/security.aspx", "PC17"));
  EXPECT_TRUE(IsRemoteServer("http://127.0.0.1:8080/mvt/security.aspx", "PC17"));
  EXPECT_TRUE(IsRemoteServer("http://localhost:8080/mvt/security.aspx", "PC17"));
  EXPECT_TRUE(IsRemoteServer("http://SRV01/mvt/security.aspx", "PC17"));
}

// A server that answers the group requests with canned texts, as servers
// that are not qrnsecd may.
class CannedServer {
 public:
  CannedServer()
      : responder_([this](const test::HttpRequest& request) {
          std::lock_guard<std::mutex> hold(lock_);
          test::HttpReply reply;
          targets_.push_back(request.target);
          if (request.target.find("Object=UserGroups") != std::string::npos)
            reply.body = user_groups_;
          else if (request.target.find("Object=ServerLocalGroups") != std::string::npos)
            reply.body = server_local_;
          return reply;
        }) {}
  void Answer(std::string user_groups, std::string server_local) {
    std::lock_guard<std::mutex> hold(lock_);
    user_groups_ = std::move(user_groups);
    server_local_ = std::move(server_local);
    targets_.clear();
  }
  std::string url() const { return responder_.url("/mvt/security.aspx"); }
  Strings Targets() {
    std::lock_guard<std::mutex> hold(lock_);
    return targets_;
  }

 private:
  std::mutex lock_;
  std::string user_groups_, server_local_;
  Strings targets_;
  test::HttpResponder responder_;
};

Strings Resolve(CQRNAuthorize& authorizer, const char* user, std::string* domain = nullptr,
                HRESULT* status = nullptr) {
  std::string d;
  Strings groups;
  int count = -1;
  const HRESULT hr = authorizer.GroupNames(user, d, groups, count);
  EXPECT_EQ(count, static_cast<int>(groups.size()));
  if (domain != nullptr) *domain = d;
  if (status != nullptr) *status = hr;
  return groups;
}

const std::vector<std::string> kServerResolves = {"\"UseServerADSI\"=" + RegDword(1)};

TEST(GroupNames, ServerLocalAnswerIsGluedWithoutSeparator) {
  struct Case {
    const char* user_groups;
    const char* server_local;
    Strings groups;
  } cases[] = {
      {"SALES/Operators;", "SRV01/Admins;", {"Everyone", "SALES\\Operators", "SRV01\\Admins"}},
      // No ";" at the end: the server's first entry merges with the last one.
      {"SALES/Operators", "SRV01/Admins;", {"Everyone", "OperatorsSRV01\\Admins"}},
      // A failed request leaves "Everyone;" alone.
      {"<html>error</html>", "", {"Everyone"}},
      // A failed server-local request adds nothing, not its error page.
      {"SALES/Operators;", "<html>Error</html>", {"Everyone", "SALES\\Operators"}},
  };
  test::HiveSandbox sandbox;
  CannedServer server;
  sandbox.WriteMachineHive(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n\"URL\"=\"" +
      server.url() + "\"\r\n\"UseServerADSI\"=dword:00000001\r\n");
  CQRNAuthorize authorizer;
  for (const Case& c : cases) {
    server.Answer(c.user_groups, c.server_local);
    std::string domain;
    HRESULT status = E_FAIL;
    Strings groups = Resolve(authorizer, "SALES\\bob", &domain, &status);
    EXPECT_EQ(status, S_OK);
    EXPECT_EQ(domain, "SALES");
    // This computer's local groups come last; the server's part is fixed.
    groups.resize(std::min(groups.size(), c.groups.size()));
    EXPECT_EQ(groups, c.groups) << c.user_groups;
    const Strings targets = server.Targets();
    ASSERT_EQ(targets.size(), 2u) << c.user_groups;
    EXPECT_EQ(targets[0],
              "/mvt/security.aspx?User=bob&Domain=SALES&Operation=Get&Object=UserGroups");
    EXPECT_NE(targets[1].find("&DomainGroups=Everyone%3B"), std::string::npos) << targets[1];
  }
}

// nss_wrapper accounts: SALES\bob is a domain account, and this computer's
// local group Administrators holds him.
constexpr char kPasswd[] =
    "SALES\\bob:x:1001:2001:Bob:/home/bob:/bin/false\n"
    "carol:x:1002:3001:Carol:/home/carol:/bin/false\n";
constexpr char kGroup[] =
    "SALES\\Domain Users:x:2001:\n"
    "SALES\\Operators:x:2002:SALES\\bob\n"
    "staff:x:3001:\n"
    "Administrators:x:3002:SALES\\bob\n";

std::string LevelData(int level) {
  return R"({"format": 1, "timestamp": "12/01/2026 10:00:00 AM", "localGroupsLevel": )" +
         std::to_string(level) +
         R"(, "roles": [{"id": "{00000000-0000-4000-8000-000000000001}", "name": "R",
    "groups": ["SALES\\Operators"]}],
  "userGroups": {"SALES\\bob": ["SALES/Operators"]},
  "allUserGroups": {"SALES\\bob": ["SALES/Operators", "SALES/Staff"]},
  "serverLocalGroups": {"SALES\\bob": ["SRV01/Backup Operators"]}})";
}

class LocalGroupsLevel : public ::testing::TestWithParam<int> {};

TEST_P(LocalGroupsLevel, DecidesWhichLocalGroupsAreAdded) {
  if (test::RunUnderNssWrapper(kPasswd, kGroup, {"LDAPNOINIT=1"})) return;
  const int level = GetParam();
  AuthorizeEnv env;
  env.Start(LevelData(level), kServerResolves);
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", 0));
  Strings expected = {"Everyone", "SALES\\Operators"};
  if (level != 0) expected.push_back("SRV01\\Backup Operators");
  if (level == 3) expected.push_back("PC17\\Administrators");
  EXPECT_EQ(Resolve(authorizer, "SALES\\bob"), expected);
  const std::string log = env.secd->RequestLog();
  EXPECT_EQ(log.find("Object=ServerLocalGroups") != std::string::npos, level != 0) << log;
}

INSTANTIATE_TEST_SUITE_P(Levels, LocalGroupsLevel, ::testing::Values(0, 3, 5));

TEST(GroupNames, ClientDirectoryPathAsksTheNameService) {
  if (test::RunUnderNssWrapper(kPasswd, kGroup, {"LDAPNOINIT=1"})) return;
  AuthorizeEnv env;
  env.Start(LevelData(0));
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", 0));
  std::string domain;
  HRESULT status = E_FAIL;
  EXPECT_EQ(Resolve(authorizer, "SALES\\bob", &domain, &status),
            (Strings{"Everyone", "SALES\\Domain Users", "SALES\\Operators"}));
  EXPECT_EQ(status, S_OK);
  EXPECT_EQ(domain, "SALES");
  // Without a backslash the domain stays empty.
  Resolve(authorizer, "carol", &domain, &status);
  EXPECT_EQ(domain, "");
  EXPECT_EQ(status, S_OK);
  // Neither the directory nor the network API knows the account.
  EXPECT_EQ(Resolve(authorizer, "SALES\\nobody", &domain, &status), Strings{});
  EXPECT_EQ(status, S_FALSE);
  EXPECT_EQ(env.secd->RequestLog().find("Groups"), std::string::npos);
}

TEST(GroupNames, OlderServerGivesAllGroupsAndThisComputersLast) {
  if (test::RunUnderNssWrapper(kPasswd, kGroup, {"LDAPNOINIT=1"})) return;
  AuthorizeEnv env;
  env.Start(LevelData(5), {}, {"--old-server"});
  CQRNAuthorize authorizer;
  ASSERT_TRUE(authorizer.InitCache("SALES\\bob", 0));
  EXPECT_EQ(Resolve(authorizer, "SALES\\bob"),
            (Strings{"SALES\\Operators", "SALES\\Staff", "PC17\\Administrators"}));
  HRESULT status = E_FAIL;
  EXPECT_EQ(Resolve(authorizer, "SALES\\carol", nullptr, &status), Strings{});
  EXPECT_EQ(status, S_OK);
  const std::string log = env.secd->RequestLog();
  EXPECT_NE(log.find("Object=AllUserGroups"), std::string::npos);
  EXPECT_EQ(log.find("Object=ServerLocalGroups"), std::string::npos);
}

// ---- Novell -----------------------------------------------------------------

std::atomic<int> novell_tests{0};

class TestNovell final : public INovellUserInfo {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_INovellUserInfo) {
      *object = static_cast<INovellUserInfo*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetUserName(BSTR* name) override {
    *name = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetDomainName(BSTR* name) override {
    *name = nullptr;
    return E_NOTIMPL;
  }
  // Member of every group whose name ends in "Yes"; the test of "Broken"
  // fails.
  HRESULT IsGroupMember(BSTR, BSTR group, VARIANT_BOOL* member) override {
    ++novell_tests;
    const std::string name = platform::Utf16ToUtf8(std::u16string_view(group, SysStringLen(group)));
    if (name.ends_with("Broken")) return E_FAIL;
    *member = name.ends_with("Yes") ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }

 private:
  ~TestNovell() = default;
  ULONG refs_ = 1;
};

HRESULT CreateTestNovell(REFIID riid, void** object) {
  auto* info = new TestNovell();
  const HRESULT hr = info->QueryInterface(riid, object);
  info->Release();
  return hr;
}

TEST(GroupNames, NovellPathTestsTheNdsMembersOfTheRoles) {
  AuthorizeEnv env;
  env.Start(R"({"format": 1, "timestamp": "12/01/2026 10:00:00 AM", "roles": [
    {"id": "{00000000-0000-4000-8000-000000000001}", "name": "A",
     "groups": ["NDS:\\\\TREE\\Yes", "NDS:\\\\TREE\\Broken", "NDS:\\TREE\\SingleYes"]},
    {"id": "{00000000-0000-4000-8000-000000000002}", "name": "B",
     "groups": ["NDS:\\\\TREE\\No", "NDS:\\\\TREE\\Yes", "SALES\\Yes"]}]})",
            {"\"NovellClient\"=" + RegDword(1)});
  CQRNAuthorize authorizer;
  std::string domain = "x";
  Strings groups;
  int count = 7;
  // No component registered; then no cache.
  EXPECT_EQ(authorizer.GroupNames("bob.sales", domain, groups, count), REGDB_E_CLASSNOTREG);
  EXPECT_TRUE(test::TrailHasDetail("Failed to create instance of NovellUserInfo"));
  ASSERT_EQ(QrnRegisterClass(CLSID_NovellUserInfo, CreateTestNovell), S_OK);
  EXPECT_EQ(authorizer.GroupNames("bob.sales", domain, groups, count), E_FAIL);
  EXPECT_TRUE(test::TrailHasDetail("Cache is not loaded"));

  ASSERT_TRUE(authorizer.InitCache("bob.sales", 0));
  novell_tests = 0;
  EXPECT_EQ(authorizer.GroupNames("TREE\\bob", domain, groups, count), S_OK);
  // A group named by two roles is tested and given twice; the failing test
  // skips its candidate only.
  EXPECT_EQ(groups, (Strings{"NDS:\\\\TREE\\Yes", "NDS:\\\\TREE\\Yes"}));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(domain, "");
  EXPECT_EQ(novell_tests.load(), 4);
}

}  // namespace
}  // namespace qrn
