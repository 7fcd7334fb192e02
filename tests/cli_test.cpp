// The qrnauth command line: config show, the raw value commands, import, and
// the framework's help, usage errors, exit codes and --trail.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace qrn {
namespace {

constexpr char kMachineKey[] = "HKLM\\SOFTWARE\\Korvane\\MVT";

class CliTest : public ::testing::Test {
 protected:
  test::ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), test::CliPath());
    return test::RunProcess(args);
  }
  // Runs a command that must succeed.
  std::string Ok(std::vector<std::string> args) {
    auto result = Run(args);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return result.out;
  }

  test::HiveSandbox sandbox_;
};

TEST_F(CliTest, ConfigShowNamesValuesInOrder) {
  std::string cache = sandbox_.dir().File("cache");
  mkdir(cache.c_str(), 0755);
  sandbox_.WriteMachineHive(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n"
      "\"URL\"=\" http://127.0.0.1:8080/mvt/security.aspx \"\r\n"
      "\"CachePath\"=\"" +
      cache +
      "\"\r\n"
      "\"EventLogging\"=dword:00000001\r\n"
      "\"NovellClient\"=dword:00000002\r\n"
      "\"UseServerADSI\"=dword:00000001\r\n"
      "\"SourceDomainForGroups\"=\"LDAP://dc=a;LDAP://dc=b\"\r\n"
      "\"WebServer\"=\"on\"\r\n"
      "\"RoleCacheAge\"=dword:0000001e\r\n"
      "\"LogInfoToServer\"=dword:00000001\r\n"
      "\"Mvtlog\"=dword:00000001\r\n");
  EXPECT_EQ(Ok({"config", "show"}),
            "url: http://127.0.0.1:8080/mvt/security.aspx\n"
            "cache-folder: " +
                cache +
                "/\n"
                "event-logging: on\n"
                "novell-client: off\n"
                "server-adsi: on\n"
                "nt-group-support: off\n"
                "source-domains: LDAP://dc=a;LDAP://dc=b\n"
                "web-server: on\n"
                "role-cache-age: 30\n"
                "group-backup-age: 1440\n"
                "audit-selector: 1\n"
                "diagnostic-log: on\n");
}

TEST_F(CliTest, ConfigShowDefaults) {
  EXPECT_EQ(Ok({"config", "show"}),
            "url: \n"
            "cache-folder: " +
                sandbox_.temp_folder() +
                "\n"
                "event-logging: off\n"
                "novell-client: off\n"
                "server-adsi: off\n"
                "nt-group-support: off\n"
                "source-domains: \n"
                "web-server: off\n"
                "role-cache-age: 720\n"
                "group-backup-age: 1440\n"
                "audit-selector: 2\n"
                "diagnostic-log: off\n");
}

TEST_F(CliTest, SetGetRoundTripOfEveryType) {
  Ok({"config", "set", kMachineKey, "URL", "REG_SZ", "http://h/s.aspx"});
  Ok({"config", "set", kMachineKey, "Path", "REG_EXPAND_SZ", "%HOME%/x"});
  Ok({"config", "set", kMachineKey, "List", "REG_MULTI_SZ", "a;b", "c d"});
  Ok({"config", "set", kMachineKey, "Hex", "REG_DWORD", "0x2A"});
  Ok({"config", "set", kMachineKey, "Dec", "REG_DWORD", "4294967295"});
  Ok({"config", "set", "HKCU\\Software\\Korvane\\MVT\\Security\\WKZ", "LocalProfile", "REG_DWORD",
      "1"});
  Ok({"config", "set", kMachineKey, "Dash", "REG_SZ", "--", "-x"});

  EXPECT_EQ(Ok({"config", "get", kMachineKey, "url"}), "type: REG_SZ\ndata: http://h/s.aspx\n");
  EXPECT_EQ(Ok({"config", "get", kMachineKey, "Path"}), "type: REG_EXPAND_SZ\ndata: %HOME%/x\n");
  EXPECT_EQ(Ok({"config", "get", kMachineKey, "List"}),
            "type: REG_MULTI_SZ\ndata: a;b\ndata: c d\n");
  EXPECT_EQ(Ok({"config", "get", kMachineKey, "Hex"}), "type: REG_DWORD\ndata: 42 (0x0000002a)\n");
  EXPECT_EQ(Ok({"config", "get", kMachineKey, "Dec"}),
            "type: REG_DWORD\ndata: 4294967295 (0xffffffff)\n");
  EXPECT_EQ(Ok({"config", "get", "HKEY_CURRENT_USER\\SOFTWARE\\Korvane\\MVT\\Security\\WKZ",
                "LocalProfile"}),
            "type: REG_DWORD\ndata: 1 (0x00000001)\n");
  EXPECT_EQ(Ok({"config", "get", kMachineKey, "Dash"}), "type: REG_SZ\ndata: -x\n");
  // The user hive got the HKCU value, the machine hive did not.
  EXPECT_NE(test::ReadFile(sandbox_.user_hive()).find("LocalProfile"), std::string::npos);
  EXPECT_EQ(test::ReadFile(sandbox_.machine_hive()).find("LocalProfile"), std::string::npos);
}

TEST_F(CliTest, GetShowsValuesTheLibraryIgnores) {
  sandbox_.WriteMachineHive(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n"
      "\"NoNul\"=hex(1):41,00,42,00\r\n");
  auto out = Ok({"config", "get", kMachineKey, "NoNul"});
  EXPECT_EQ(out.rfind("type: REG_SZ\ndata: hex:", 0), 0u) << out;
  EXPECT_NE(out.find("reads it as absent"), std::string::npos) << out;
}

TEST_F(CliTest, GetOfMissingValueOrKeyAnswersOne) {
  auto missing = Run({"config", "get", kMachineKey, "Nothing"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("Nothing"), std::string::npos);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(Run({"config", "get", "HKLM\\SOFTWARE\\Nowhere", "URL"}).exit_code, 1);
}

TEST_F(CliTest, ImportAppliesBothHives) {
  std::string file = sandbox_.dir().File("site.reg");
  test::WriteFile(file,
                  "Windows Registry Editor Version 5.00\r\n\r\n"
                  "; the site's server\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n"
                  "\"URL\"=\"http://127.0.0.1:9/s.aspx\"\r\n\r\n"
                  "[HKEY_CURRENT_USER\\Software\\Korvane\\MVT\\Security]\r\n"
                  "\"CacheValidation\"=\"abc\"\r\n");
  Ok({"config", "import", file});
  EXPECT_EQ(Ok({"config", "show"}).rfind("url: http://127.0.0.1:9/s.aspx\n", 0), 0u);
  EXPECT_EQ(Ok({"config", "get", "HKCU\\Software\\Korvane\\MVT\\Security", "CacheValidation"}),
            "type: REG_SZ\ndata: abc\n");

  test::WriteFile(file,
                  "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=");
  auto bad = Run({"config", "import", file});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.err.find(file), std::string::npos) << bad.err;
  EXPECT_EQ(Run({"config", "import", sandbox_.dir().File("absent.reg")}).exit_code, 2);
}

TEST_F(CliTest, UsageErrorsNameTheBadArgument) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"config"}, "'config' needs a subcommand"},
      {{"config", "shw"}, "unknown command 'config shw'"},
      {{"config", "show", "extra"}, "unexpected argument 'extra'"},
      {{"config", "show", "--verbose"}, "unknown option '--verbose'"},
      {{"config", "get", kMachineKey}, "missing VALUE"},
      {{"config", "get", "SOFTWARE\\Korvane", "URL"}, "bad KEY 'SOFTWARE\\Korvane'"},
      {{"config", "set", kMachineKey, "A", "REG_QWORD", "1"}, "unknown TYPE 'REG_QWORD'"},
      {{"config", "set", kMachineKey, "A", "REG_DWORD", "12x"}, "bad REG_DWORD data '12x'"},
      {{"config", "set", kMachineKey, "A", "REG_DWORD", "0x100000000"},
       "bad REG_DWORD data '0x100000000'"},
      {{"config", "set", kMachineKey, "A", "REG_SZ"}, "missing DATA"},
      {{"config", "set", kMachineKey, "A", "REG_SZ", "x", "y"}, "unexpected argument 'y'"},
      {{"config", "set", kMachineKey, "A", "REG_MULTI_SZ", "x", ""}, "bad REG_MULTI_SZ item"},
  };
  for (const auto& c : cases) {
    auto result = Run(c.args);
    EXPECT_EQ(result.exit_code, 2) << c.message;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "") << c.message;
  }
  // A refused set writes nothing.
  EXPECT_EQ(test::ReadFile(sandbox_.machine_hive()).find("\"A\""), std::string::npos);
}

TEST_F(CliTest, WriteToAnUnwritableHiveFails) {
  // A hive below a regular file cannot be written, whoever runs the test.
  std::string blocker = sandbox_.dir().File("blocker");
  test::WriteFile(blocker, "");
  auto result =
      test::RunProcess({test::CliPath(), "config", "set", kMachineKey, "URL", "REG_SZ", "x"},
                       {"QRNAUTH_MACHINE_HIVE=" + blocker + "/machine.reg"});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_NE(result.err.find("cannot write"), std::string::npos) << result.err;
}

TEST_F(CliTest, UnreadableHiveIsAnErrorThatSaysWhy) {
  // Root reads a chmod-000 file, so the hive is made unreadable for anyone:
  // a folder or a FIFO where the file should be, or a file over the limit.
  const std::string folder = sandbox_.dir().File("folder.reg");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string fifo = sandbox_.dir().File("fifo.reg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string huge = sandbox_.dir().File("huge.reg");
  test::WriteFile(huge, "");
  ASSERT_EQ(truncate(huge.c_str(), off_t{3} << 30), 0);
  const struct {
    std::string hive, why;
  } cases[] = {{folder, "is not a regular file"},
               {fifo, "is not a regular file"},
               {huge, "is larger than the limit of 67108864 bytes"}};
  for (const auto& c : cases) {
    const std::string env = "QRNAUTH_MACHINE_HIVE=" + c.hive;
    auto get = test::RunProcess({test::CliPath(), "config", "get", kMachineKey, "URL"}, {env}, "",
                                20);
    EXPECT_EQ(get.exit_code, 2) << c.hive << get.err;
    EXPECT_NE(get.err.find("cannot read the hive file " + c.hive + ": " + c.why),
              std::string::npos)
        << get.err;
    EXPECT_EQ(get.err.find("there is no key"), std::string::npos) << get.err;
    // Every command that reads the hive says so on stderr.
    auto show = test::RunProcess({test::CliPath(), "config", "show"}, {env}, "", 20);
    EXPECT_EQ(show.exit_code, 0) << show.err;
    EXPECT_NE(show.err.find(c.hive + ": " + c.why), std::string::npos) << show.err;
    auto set = test::RunProcess(
        {test::CliPath(), "config", "set", kMachineKey, "URL", "REG_SZ", "x"}, {env}, "", 20);
    EXPECT_EQ(set.exit_code, 2) << set.err;
  }
}

TEST_F(CliTest, SetKeepsTheRawBytesOfOtherValues) {
  // Texts that are not UTF-8, as another tool may have written them.
  const std::string latin = "\"Latin\"=\"caf\xe9 cr\xe8me\"";
  sandbox_.WriteMachineHive("Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n" +
                            latin + "\r\n");
  sandbox_.WriteUserHive("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Korvane]\r\n"
                         "\"Path\"=hex(2):63,61,66,e9,00\r\n"
                         "\"List\"=hex(7):e9,00,61,00,00\r\n");
  Ok({"config", "set", kMachineKey, "Other", "REG_SZ", "x"});
  Ok({"config", "set", "HKCU\\Software\\Korvane", "Other", "REG_SZ", "y"});

  EXPECT_NE(test::ReadFile(sandbox_.machine_hive()).find(latin + "\n"), std::string::npos)
      << test::ReadFile(sandbox_.machine_hive());
  EXPECT_EQ(Ok({"config", "get", kMachineKey, "Latin"}),
            "type: REG_SZ\ndata: caf\xe9 cr\xe8me\n");
  EXPECT_EQ(Ok({"config", "get", "HKCU\\Software\\Korvane", "Path"}),
            "type: REG_EXPAND_SZ\ndata: caf\xe9\n");
  EXPECT_EQ(Ok({"config", "get", "HKCU\\Software\\Korvane", "List"}),
            "type: REG_MULTI_SZ\ndata: \xe9\ndata: a\n");
  EXPECT_EQ(Ok({"config", "get", "HKCU\\Software\\Korvane", "Other"}), "type: REG_SZ\ndata: y\n");
}

TEST_F(CliTest, HelpEverywhere) {
  auto top = Run({"--help"});
  EXPECT_EQ(top.exit_code, 0);
  for (const char* name : {"config show", "config get", "config set", "config import"}) {
    EXPECT_NE(top.out.find(name), std::string::npos) << name;
  }
  EXPECT_NE(top.out.find("--trail"), std::string::npos);
  auto set = Run({"config", "set", "--help"});
  EXPECT_EQ(set.exit_code, 0);
  EXPECT_NE(set.out.find("usage: qrnauth config set KEY VALUE TYPE DATA"), std::string::npos);
  EXPECT_NE(set.out.find("REG_MULTI_SZ"), std::string::npos);
  auto group = Run({"config", "--help"});
  EXPECT_EQ(group.exit_code, 0);
  EXPECT_NE(group.out.find("config import"), std::string::npos);
  auto none = Run({});
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_NE(none.err.find("usage: qrnauth"), std::string::npos);
}

TEST_F(CliTest, TrailOptionPrintsTheAuthorizationTrail) {
  auto result = Run({"--trail", "config", "show"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("diagnostic-log: off\nstep | status | detail | source\n"),
            std::string::npos)
      << result.out;
  auto after = Run({"config", "show", "--trail"});
  EXPECT_EQ(after.out, result.out);
}

}  // namespace
}  // namespace qrn
