// The local diagnostic log "mvtlog.txt": line formats, the "Mvtlog" switch
// read for every line, append mode.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frame/diagnostic_log.h"
#include "platform/registry.h"
#include "tests/support/test_env.h"

namespace {

constexpr char kConfigKey[] = "SOFTWARE\\Korvane\\MVT";

std::string HiveWith(const std::string& value_line) {
  return "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n" +
         value_line + "\r\n";
}

bool FileExists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f != nullptr) std::fclose(f);
  return f != nullptr;
}

void SetMvtlog(uint32_t value) {
  qrn::platform::RegistryKey key;
  ASSERT_EQ(key.Create(qrn::platform::RegHive::LocalMachine, kConfigKey), 0);
  ASSERT_EQ(key.SetRaw("Mvtlog", qrn::platform::REG_DWORD, &value, sizeof value), 0);
}

TEST(DiagnosticLog, LinesWithTextAndWithNumber) {
  qrn::test::HiveSandbox sandbox;
  sandbox.WriteMachineHive(HiveWith("\"Mvtlog\"=dword:00000001"));
  const std::string log = sandbox.temp_folder() + "mvtlog.txt";
  qrn::test::WriteFile(log, "earlier line\n");

  qrn::WriteDiagnosticLine("LEADING", "security/common/qrnauthorize", 1642, -2147467259, "User",
                           "SALES\\bob", 0);
  qrn::WriteDiagnosticLine("", "security/common/qrnauthorize", 7, 0, "Groups", nullptr, -42);
  qrn::WriteDiagnosticLine("", "f", 1, 0, "Empty", "", 5);

  const std::string content = qrn::test::ReadFile(log);
  const std::vector<std::string> expected = {
      "(security/common/qrnauthorize:1642) hr=-2147467259 User=SALES\\bob",
      "(security/common/qrnauthorize:7) hr=0 Groups=-42", "(f:1) hr=0 Empty="};
  ASSERT_EQ(content.rfind("earlier line\n", 0), 0u) << content;
  size_t pos = std::strlen("earlier line\n");
  for (const std::string& rest : expected) {
    size_t end = content.find('\n', pos);
    ASSERT_NE(end, std::string::npos) << content;
    const std::string line = content.substr(pos, end - pos);
    pos = end + 1;
    // "MM/DD/YYYY hh:mm:ss": month first, two digits each but the year.
    int month, day, year, hour, minute, second, used = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%2d/%2d/%4d %2d:%2d:%2d%n", &month, &day, &year, &hour,
                          &minute, &second, &used),
              6)
        << line;
    EXPECT_EQ(used, 19) << line;
    EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1 && day <= 31 && year >= 2024) << line;
    EXPECT_TRUE(hour < 24 && minute < 60 && second < 61) << line;
    EXPECT_EQ(line.substr(used), rest);
  }
  EXPECT_EQ(pos, content.size());
}

TEST(DiagnosticLog, OnlyExactlyOneSwitchesItOn) {
  qrn::test::HiveSandbox sandbox;
  const std::string log = sandbox.temp_folder() + "mvtlog.txt";
  qrn::WriteDiagnosticLine("", "f", 1, 0, "Absent", "v", 0);
  EXPECT_FALSE(FileExists(log));
  SetMvtlog(0);
  qrn::WriteDiagnosticLine("", "f", 1, 0, "Zero", "v", 0);
  SetMvtlog(2);
  qrn::WriteDiagnosticLine("", "f", 1, 0, "Two", "v", 0);
  {
    // A text "1" is not a 4-byte value.
    qrn::platform::RegistryKey key;
    ASSERT_EQ(key.Create(qrn::platform::RegHive::LocalMachine, kConfigKey), 0);
    ASSERT_EQ(key.SetString("Mvtlog", "1"), 0);
  }
  qrn::WriteDiagnosticLine("", "f", 1, 0, "Text", "v", 0);
  EXPECT_FALSE(FileExists(log));
}

TEST(DiagnosticLog, SwitchTakesEffectBetweenLines) {
  qrn::test::HiveSandbox sandbox;
  const std::string log = sandbox.temp_folder() + "mvtlog.txt";
  qrn::WriteDiagnosticLine("", "f", 1, 0, "Absent", nullptr, 1);
  EXPECT_FALSE(FileExists(log));
  SetMvtlog(1);
  qrn::WriteDiagnosticLine("", "f", 2, 0, "First", nullptr, 2);
  SetMvtlog(0);
  qrn::WriteDiagnosticLine("", "f", 3, 0, "Off", nullptr, 3);
  SetMvtlog(1);
  qrn::WriteDiagnosticLine("", "f", 4, 0, "Again", nullptr, 4);
  const std::string content = qrn::test::ReadFile(log);
  EXPECT_NE(content.find("(f:2) hr=0 First=2\n"), std::string::npos) << content;
  EXPECT_EQ(content.find("Off"), std::string::npos) << content;
  EXPECT_NE(content.find("(f:4) hr=0 Again=4\n"), std::string::npos) << content;
}

TEST(DiagnosticLog, NamesAndTextsCannotStartALineOfTheirOwn) {
  qrn::test::HiveSandbox sandbox;
  sandbox.WriteMachineHive(HiveWith("\"Mvtlog\"=dword:00000001"));
  const std::string log = sandbox.temp_folder() + "mvtlog.txt";
  qrn::WriteDiagnosticLine("", "f", 1, 0, "User", "bob\nssh-ed25519 AAAA attacker\r\tx\x1b", 0);
  qrn::WriteDiagnosticLine("", "f\n", 2, 0, "Na\nme", nullptr, 7);
  const std::string content = qrn::test::ReadFile(log);
  EXPECT_NE(content.find("(f:1) hr=0 User=bob\\nssh-ed25519 AAAA attacker\\r\\tx\\x1b\n"),
            std::string::npos)
      << content;
  EXPECT_NE(content.find("(f\\n:2) hr=0 Na\\nme=7\n"), std::string::npos) << content;
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 2) << content;
}

TEST(DiagnosticLog, NeverWritesThroughALinkOrIntoAnotherUsersFile) {
  qrn::test::HiveSandbox sandbox;
  sandbox.WriteMachineHive(HiveWith("\"Mvtlog\"=dword:00000001"));
  const std::string log = sandbox.temp_folder() + "mvtlog.txt";
  const std::string protected_file = sandbox.dir().File("authorized_keys");
  qrn::test::WriteFile(protected_file, "root's own line\n");
  ASSERT_EQ(chmod(protected_file.c_str(), 0600), 0);

  // A link to a file only its owner may write: that file stays as it was.
  ASSERT_EQ(symlink(protected_file.c_str(), log.c_str()), 0);
  qrn::WriteDiagnosticLine("", "f", 1, 0, "User", "x", 0);
  EXPECT_EQ(qrn::test::ReadFile(protected_file), "root's own line\n");
  // A dangling link: nothing is created where it points.
  const std::string dangling = sandbox.dir().File("new-file");
  ASSERT_EQ(unlink(log.c_str()), 0);
  ASSERT_EQ(symlink(dangling.c_str(), log.c_str()), 0);
  qrn::WriteDiagnosticLine("", "f", 2, 0, "User", "x", 0);
  EXPECT_FALSE(FileExists(dangling));
  // A hard link to the protected file (possible where the kernel does not
  // protect hard links) is refused as well.
  ASSERT_EQ(unlink(log.c_str()), 0);
  ASSERT_EQ(link(protected_file.c_str(), log.c_str()), 0);
  qrn::WriteDiagnosticLine("", "f", 3, 0, "User", "x", 0);
  EXPECT_EQ(qrn::test::ReadFile(protected_file), "root's own line\n");
  ASSERT_EQ(unlink(log.c_str()), 0);

  // A file of another user (only root can make one here).
  if (geteuid() == 0) {
    qrn::test::WriteFile(log, "");
    ASSERT_EQ(chown(log.c_str(), 65534, 65534), 0);
    qrn::WriteDiagnosticLine("", "f", 4, 0, "User", "x", 0);
    EXPECT_EQ(qrn::test::ReadFile(log), "");
    ASSERT_EQ(unlink(log.c_str()), 0);
  }

  // Under umask 000 the new log is still not writable by others.
  const mode_t old_mask = umask(0);
  qrn::WriteDiagnosticLine("", "f", 5, 0, "User", "x", 0);
  umask(old_mask);
  struct stat st {};
  ASSERT_EQ(lstat(log.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_NE(qrn::test::ReadFile(log).find("(f:5) hr=0 User=x\n"), std::string::npos);
}

}  // namespace
