// The local diagnostic log "mvtlog.txt": line formats, the "Mvtlog" switch
// read for every line, append mode.
#include "frame/diaglog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

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

  const std::string stamp = R"((\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d))";
  const std::regex expected(
      "earlier line\n" + stamp +
      R"(\(security/common/qrnauthorize:1642\) hr=-2147467259 User=SALES\\bob)"
      "\n" +
      stamp +
      R"(\(security/common/qrnauthorize:7\) hr=0 Groups=-42)"
      "\n" +
      stamp +
      R"(\(f:1\) hr=0 Empty=)"
      "\n");
  std::smatch match;
  const std::string content = qrn::test::ReadFile(log);
  ASSERT_TRUE(std::regex_match(content, match, expected)) << content;
  // Month first, then day; a plausible UTC clock.
  EXPECT_GE(std::stoi(match[1]), 1);
  EXPECT_LE(std::stoi(match[1]), 12);
  EXPECT_LE(std::stoi(match[2]), 31);
  EXPECT_GE(std::stoi(match[3]), 2024);
  EXPECT_LT(std::stoi(match[4]), 24);
}

TEST(DiagnosticLog, OnlyExactlyOneSwitchesItOn) {
  const char* off_values[] = {"\"Mvtlog\"=dword:00000000", "\"Mvtlog\"=dword:00000002",
                              "\"Mvtlog\"=\"1\"", "\"Other\"=dword:00000001"};
  for (const char* value : off_values) {
    qrn::test::HiveSandbox sandbox;
    sandbox.WriteMachineHive(HiveWith(value));
    qrn::WriteDiagnosticLine("", "f", 1, 0, "Name", "v", 0);
    EXPECT_FALSE(FileExists(sandbox.temp_folder() + "mvtlog.txt")) << value;
  }
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

}  // namespace
