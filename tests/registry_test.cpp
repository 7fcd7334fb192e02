// The hive store and the .reg format: parsing, round trips of odd raw
// values, case rules, malformed and unwritable hives, several processes.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/hive.h"
#include "platform/regfile.h"
#include "platform/text.h"
#include "tests/support/test_env.h"

namespace qrn::platform {
namespace {

using test::HiveSandbox;
using test::ReadFile;
using test::WriteFile;

constexpr char kKey[] = "SOFTWARE\\Korvane\\MVT";

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// A literal with its embedded NULs (without the implicit final one).
template <size_t N>
std::string Lit(const char (&s)[N]) {
  return std::string(s, N - 1);
}

const RegFileValue* FindIn(const RegFileKey& key, std::string_view name) {
  for (const auto& v : key.values) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

// Reads a hive file from disk the way another process would see it.
HiveData ParseHiveFile(const std::string& path, RegHive hive) {
  RegFile file;
  RegParseError error;
  EXPECT_TRUE(ParseRegFile(ReadFile(path), &file, &error)) << error.line << ": " << error.message;
  return HiveData::FromFile(file, hive);
}

// Runs body in a child process; returns its exit status.
template <typename Body>
pid_t Spawn(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body() ? 0 : 1);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RegFileTest, ParsesEveryValueFormOfVersion5) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n"
      "@=\"default\"\r\n"
      "\"URL\"=\"http://host/a \\\"b\\\" C:\\\\x\"\r\n"
      "\"Mvtlog\"=dword:0000002a\r\n"
      "\"Bin\"=hex:01,ff,\\\r\n"
      "  10\r\n"
      "\"Path\"=hex(2):25,00,54,00,4d,00,50,00,25,00,00,00\r\n"
      "\"Multi\"=hex(7):61,00,00,00,fc,00,00,00,00,00\r\n"
      "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "\"Empty\"=hex(1):\r\n"
      "\"Gone\"=-\r\n"
      "\r\n"
      "[-HKCU\\Software\\Old]\r\n";
  RegFile file;
  RegParseError error;
  ASSERT_TRUE(ParseRegFile(text, &file, &error)) << error.line << ": " << error.message;
  ASSERT_EQ(file.keys.size(), 2u);
  const RegFileKey& key = file.keys[0];
  EXPECT_EQ(key.path, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT");
  EXPECT_EQ(FindIn(key, "")->data, Bytes(Lit("default\0")));
  EXPECT_EQ(FindIn(key, "URL")->data, Bytes(Lit("http://host/a \"b\" C:\\x\0")));
  EXPECT_EQ(FindIn(key, "Mvtlog")->type, REG_DWORD);
  EXPECT_EQ(FindIn(key, "Mvtlog")->data, (std::vector<uint8_t>{42, 0, 0, 0}));
  EXPECT_EQ(FindIn(key, "Bin")->type, REG_BINARY);
  EXPECT_EQ(FindIn(key, "Bin")->data, (std::vector<uint8_t>{1, 0xff, 0x10}));
  // Wide texts arrive as UTF-8 with their terminators kept.
  EXPECT_EQ(FindIn(key, "Path")->type, REG_EXPAND_SZ);
  EXPECT_EQ(FindIn(key, "Path")->data, Bytes(Lit("%TMP%\0")));
  EXPECT_EQ(FindIn(key, "Multi")->data, Bytes(Lit("a\0\xc3\xbc\0\0")));
  EXPECT_EQ(FindIn(key, "Q")->type, REG_QWORD);
  EXPECT_EQ(FindIn(key, "Empty")->type, REG_SZ);
  EXPECT_TRUE(FindIn(key, "Empty")->data.empty());
  EXPECT_TRUE(FindIn(key, "Gone")->remove);
  EXPECT_TRUE(file.keys[1].remove);
  EXPECT_EQ(file.keys[1].path, "HKCU\\Software\\Old");
}

TEST(RegFileTest, ReadsUtf16FileAndNarrowRegedit4) {
  const std::string narrow =
      "Windows Registry Editor Version 5.00\r\n[HKLM\\S]\r\n\"N\"=\"M\xc3\xbcller\"\r\n";
  std::string wide = "\xff\xfe";
  for (char16_t u : Utf8ToUtf16(narrow)) {
    wide.push_back(static_cast<char>(u & 0xff));
    wide.push_back(static_cast<char>(u >> 8));
  }
  RegFile file;
  RegParseError error;
  ASSERT_TRUE(ParseRegFile(wide, &file, &error)) << error.message;
  EXPECT_EQ(file.keys.at(0).values.at(0).data, Bytes(Lit("M\xc3\xbcller\0")));

  // REGEDIT4: hex(2) holds narrow bytes; LF line ends.
  ASSERT_TRUE(ParseRegFile("REGEDIT4\n\n[HKLM\\S]\n\"P\"=hex(2):41,42,00\n", &file, &error));
  EXPECT_FALSE(file.unicode);
  EXPECT_EQ(file.keys.at(0).values.at(0).data, Bytes(Lit("AB\0")));
}

TEST(RegFileTest, RejectsMalformedLinesWithTheirNumber) {
  const struct {
    const char* text;
    int line;
  } cases[] = {
      {"REGEDIT5\n", 1},
      {"REGEDIT4\n\"a\"=\"b\"\n", 2},  // value before any key
      {"REGEDIT4\n[HKLM\\S\n", 2},
      {"REGEDIT4\n[HKLM\\S]\n\"a\"=dword:123456789\n", 3},
      {"REGEDIT4\n[HKLM\\S]\n\"a\"=hex:1,2g\n", 3},
      {"REGEDIT4\n[HKLM\\S]\n\"a\"=\"open\n", 3},
      {"REGEDIT4\n[HKLM\\S]\n\n\"a\"=hex:01,\\\n", 4},  // continued past the end
      {"REGEDIT4\n[HKLM\\S]\nname=\"x\"\n", 3},
  };
  for (const auto& c : cases) {
    RegFile file;
    RegParseError error;
    EXPECT_FALSE(ParseRegFile(c.text, &file, &error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
  }
}

TEST(RegistryTest, OddRawValuesRoundTripThroughTheFile) {
  HiveSandbox sandbox;
  RegistryKey key;
  ASSERT_EQ(key.Create(RegHive::LocalMachine, kKey), ERROR_SUCCESS);
  const struct {
    const char* name;
    uint32_t type;
    std::string data;
  } values[] = {
      {"NoTerminator", REG_SZ, "abc"},
      {"OneNulMulti", REG_MULTI_SZ, Lit("a\0")},
      {"DwordAsText", REG_SZ, Lit("\x01\0\0\0")},
      {"Empty", REG_SZ, ""},
      {"InnerNul", REG_SZ, Lit("a\0b\0")},
      {"ShortDword", REG_DWORD, Lit("\x07\0")},
      {"Expand", REG_EXPAND_SZ, Lit("%HOME%\0")},
      {"Plain", REG_SZ, Lit("M\xc3\xbcller \"q\" \\\0")},
      {"Dword", REG_DWORD, Lit("\x10\0\0\0")},
      {"Long", REG_BINARY, std::string(300, '\x5a')},
  };
  for (const auto& v : values) {
    ASSERT_EQ(key.SetRaw(v.name, v.type, v.data.data(), static_cast<uint32_t>(v.data.size())),
              ERROR_SUCCESS)
        << v.name;
  }
  const std::string text = ReadFile(sandbox.machine_hive());
  EXPECT_NE(text.find("\"Plain\"=\"M\xc3\xbcller \\\"q\\\" \\\\\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"Dword\"=dword:00000010"), std::string::npos);
  EXPECT_NE(text.find("\"NoTerminator\"=hex(1):61,00,62,00,63,00"), std::string::npos);

  const HiveData disk = ParseHiveFile(sandbox.machine_hive(), RegHive::LocalMachine);
  const HiveKey* stored = disk.Find(FoldCase(kKey));
  ASSERT_NE(stored, nullptr);
  for (const auto& v : values) {
    const RegFileValue* read = stored->FindValue(v.name);
    ASSERT_NE(read, nullptr) << v.name;
    EXPECT_EQ(read->type, v.type) << v.name;
    EXPECT_EQ(read->data, Bytes(v.data)) << v.name;
  }
}

TEST(RegistryTest, QueryValueFollowsTheBufferContract) {
  HiveSandbox sandbox;
  sandbox.WriteMachineHive(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n\"URL\"=\"http://x\"\r\n");
  RegistryKey key;
  uint32_t type = 0, size = 0;
  char buffer[16];
  EXPECT_EQ(key.QueryValue("URL", &type, nullptr, &size), ERROR_INVALID_HANDLE);
  ASSERT_EQ(key.Open(RegHive::LocalMachine, kKey), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryValue("URL", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 9u);
  size = 4;
  EXPECT_EQ(key.QueryValue("URL", nullptr, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 9u);
  size = sizeof(buffer);
  EXPECT_EQ(key.QueryValue("URL", nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "http://x");
  EXPECT_EQ(key.QueryValue("Missing", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  // A key opened for reading may not be written.
  EXPECT_EQ(key.SetString("URL", "y"), ERROR_ACCESS_DENIED);
  key.Close();
  EXPECT_EQ(key.QueryValue("URL", &type, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST(RegistryTest, NamesWithLineBreaksAreRefusedAndTheHiveStaysReadable) {
  HiveSandbox sandbox;
  RegistryKey key;
  EXPECT_EQ(key.Create(RegHive::LocalMachine, "SOFTWARE\\a\nb"), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(key.Create(RegHive::LocalMachine, kKey), ERROR_SUCCESS);
  EXPECT_EQ(key.SetString("x\n[HKLM\\Evil]", "1"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(key.SetString("y\r", "1"), ERROR_INVALID_PARAMETER);
  // Line breaks inside the data are fine: they go out as hex(1).
  ASSERT_EQ(key.SetString("Text", "two\nlines"), ERROR_SUCCESS);
  const HiveData disk = ParseHiveFile(sandbox.machine_hive(), RegHive::LocalMachine);
  ASSERT_NE(disk.Find(FoldCase(kKey)), nullptr);
  EXPECT_EQ(disk.Find(FoldCase(kKey))->FindValue("Text")->data, Bytes(Lit("two\nlines\0")));
  EXPECT_EQ(disk.keys.size(), 1u);
}

TEST(RegistryTest, ReadersInOtherThreadsSeeOldOrNewValueWhileWritesGoOn) {
  HiveSandbox sandbox;
  RegistryKey writer;
  ASSERT_EQ(writer.Create(RegHive::LocalMachine, kKey), ERROR_SUCCESS);
  ASSERT_EQ(writer.SetRaw("N", REG_DWORD, "\0\0\0\0", 4), ERROR_SUCCESS);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      uint32_t last = 0;
      while (!done.load()) {
        RegistryKey key;
        uint32_t type = 0, value = 0, size = sizeof(value);
        if (key.Open(RegHive::LocalMachine, kKey) != ERROR_SUCCESS ||
            key.QueryValue("N", &type, &value, &size) != ERROR_SUCCESS || type != REG_DWORD ||
            value < last) {
          ++bad;
        }
        last = value;
        (void)HiveGeneration(RegHive::LocalMachine);
      }
    });
  }
  for (uint32_t i = 1; i <= 50; ++i) {
    ASSERT_EQ(writer.SetRaw("N", REG_DWORD, &i, 4), ERROR_SUCCESS);
  }
  done = true;
  for (auto& thread : readers) thread.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(RegistryTest, KeyPathsAndValueNamesIgnoreCase) {
  HiveSandbox sandbox;
  sandbox.WriteMachineHive(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKLM\\SOFTWARE\\Korvane\\MVT]\n\"NovellClient\"=dword:00000001\n\n"
      "[hkey_local_machine\\Software\\MÜLLER]\n\"Wert\"=\"1\"\n\n"
      "[HKEY_CURRENT_USER\\Software\\Elsewhere]\n\"X\"=\"1\"\n");
  RegistryKey key;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(key.Open(RegHive::LocalMachine, "Software\\korvane\\Mvt"), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryRaw("novellclient", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  ASSERT_EQ(key.Open(RegHive::LocalMachine, "SOFTWARE\\müller"), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryRaw("WERT", &type, &data), ERROR_SUCCESS);
  // Parents of a section exist; a section of the other hive is not seen.
  EXPECT_EQ(key.Open(RegHive::LocalMachine, "software"), ERROR_SUCCESS);
  EXPECT_EQ(key.Open(RegHive::LocalMachine, "Software\\Elsewhere"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Open(RegHive::LocalMachine, "Software\\Korv"), ERROR_FILE_NOT_FOUND);

  // A write under another spelling changes the one value and keeps the
  // foreign section.
  ASSERT_EQ(key.Create(RegHive::LocalMachine, "SOFTWARE\\KORVANE\\MVT"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetRaw("NOVELLCLIENT", REG_DWORD, "\2\0\0\0", 4), ERROR_SUCCESS);
  const std::string text = ReadFile(sandbox.machine_hive());
  EXPECT_NE(text.find("\"NovellClient\"=dword:00000002"), std::string::npos) << text;
  EXPECT_EQ(text.find("NOVELLCLIENT"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Elsewhere]"), std::string::npos);
}

TEST(RegistryTest, MalformedHiveReadsEmptyIsReportedOnceAndIsNotOverwritten) {
  HiveSandbox sandbox;
  const std::string broken =
      "Windows Registry Editor Version 5.00\n\n[HKLM\\SOFTWARE\\Korvane\\MVT]\n\"URL\"=\"x\n";
  sandbox.WriteMachineHive(broken);
  testing::internal::CaptureStderr();
  RegistryKey key;
  EXPECT_EQ(key.Open(RegHive::LocalMachine, kKey), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Open(RegHive::LocalMachine, kKey), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Create(RegHive::LocalMachine, kKey), ERROR_BADDB);
  EXPECT_EQ(key.Create(RegHive::LocalMachine, "Other"), ERROR_BADDB);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(sandbox.machine_hive()), std::string::npos) << err;
  EXPECT_NE(err.find("line 4"), std::string::npos) << err;
  EXPECT_EQ(err.find("malformed"), err.rfind("malformed")) << "reported more than once: " << err;
  EXPECT_EQ(ReadFile(sandbox.machine_hive()), broken);
  // The user hive is unaffected.
  EXPECT_EQ(key.Create(RegHive::CurrentUser, kKey), ERROR_SUCCESS);
}

TEST(RegistryTest, UnwritableHiveGivesAccessDenied) {
  HiveSandbox sandbox;
  // A folder that is a regular file, and a place nobody can create files
  // in: both hold for root as well.
  const std::string blocker = sandbox.dir().File("plain-file");
  WriteFile(blocker, "x");
  for (const std::string& path :
       {blocker + "/qrnauth/machine.reg", std::string("/proc/qrnauth-test/machine.reg")}) {
    setenv("QRNAUTH_MACHINE_HIVE", path.c_str(), 1);
    RegistryKey key;
    EXPECT_EQ(key.Open(RegHive::LocalMachine, kKey), ERROR_FILE_NOT_FOUND) << path;
    EXPECT_EQ(key.Create(RegHive::LocalMachine, kKey), ERROR_ACCESS_DENIED) << path;
    std::string error;
    const std::string import = sandbox.dir().File("in.reg");
    WriteFile(import, "REGEDIT4\n[HKLM\\A]\n\"v\"=\"1\"\n");
    EXPECT_EQ(ImportRegFile(import, &error), ERROR_ACCESS_DENIED) << path;
  }
}

TEST(RegistryTest, CreateMakesMissingFolderAndFile) {
  HiveSandbox sandbox;
  const std::string path = sandbox.dir().File("new/deeper/user.reg");
  setenv("QRNAUTH_USER_HIVE", path.c_str(), 1);
  RegistryKey key;
  EXPECT_EQ(key.Open(RegHive::CurrentUser, kKey), ERROR_FILE_NOT_FOUND);
  const uint64_t before = HiveGeneration(RegHive::CurrentUser);
  ASSERT_EQ(key.Create(RegHive::CurrentUser, kKey), ERROR_SUCCESS);
  EXPECT_NE(HiveGeneration(RegHive::CurrentUser), before);
  ASSERT_EQ(key.SetString("CacheValidation", "abc"), ERROR_SUCCESS);
  EXPECT_NE(ReadFile(path).find("[HKEY_CURRENT_USER\\SOFTWARE\\Korvane\\MVT]\n"
                                "\"CacheValidation\"=\"abc\""),
            std::string::npos);
  // Seen at once, without waiting for the file check.
  std::vector<uint8_t> data;
  RegistryKey reader;
  ASSERT_EQ(reader.Open(RegHive::CurrentUser, kKey), ERROR_SUCCESS);
  EXPECT_EQ(reader.QueryRaw("CacheValidation", nullptr, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Bytes(Lit("abc\0")));
  EXPECT_EQ(key.DeleteValue("cachevalidation"), ERROR_SUCCESS);
  EXPECT_EQ(reader.QueryRaw("CacheValidation", nullptr, &data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.DeleteValue("cachevalidation"), ERROR_FILE_NOT_FOUND);
}

TEST(RegistryTest, WritesGoThroughASymbolicLink) {
  HiveSandbox sandbox;
  const std::string link = sandbox.dir().File("linked.reg");
  ASSERT_EQ(symlink(sandbox.machine_hive().c_str(), link.c_str()), 0);
  setenv("QRNAUTH_MACHINE_HIVE", link.c_str(), 1);
  RegistryKey key;
  ASSERT_EQ(key.Create(RegHive::LocalMachine, kKey), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString("URL", "http://s/"), ERROR_SUCCESS);
  char target[4096] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0);
  EXPECT_EQ(std::string(target), sandbox.machine_hive());
  EXPECT_NE(ReadFile(sandbox.machine_hive()).find("\"URL\"=\"http://s/\""), std::string::npos);
}

TEST(RegistryTest, TwoWritingProcessesLoseNothing) {
  HiveSandbox sandbox;
  constexpr int kEach = 200;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    children.push_back(Spawn([p] {
      RegistryKey key;
      if (key.Create(RegHive::LocalMachine, kKey) != ERROR_SUCCESS) return false;
      for (int i = 0; i < kEach; ++i) {
        const std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        if (key.SetString(name, name) != ERROR_SUCCESS) return false;
      }
      return true;
    }));
  }
  for (pid_t child : children) EXPECT_EQ(Wait(child), 0);
  RegistryKey key;
  ASSERT_EQ(key.Open(RegHive::LocalMachine, kKey), ERROR_SUCCESS);
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kEach; ++i) {
      const std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
      std::vector<uint8_t> data;
      ASSERT_EQ(key.QueryRaw(name, nullptr, &data), ERROR_SUCCESS) << name;
      EXPECT_EQ(data, Bytes(name + '\0'));
    }
  }
}

// Polls until the value reads as expected (the store checks the file about
// once a millisecond); gives up after two seconds.
bool EventuallyReads(const std::string& name, const std::string& expected) {
  for (int i = 0; i < 2000; ++i) {
    RegistryKey key;
    std::vector<uint8_t> data;
    if (key.Open(RegHive::LocalMachine, kKey) == ERROR_SUCCESS &&
        key.QueryRaw(name, nullptr, &data) == ERROR_SUCCESS && data == Bytes(expected)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(RegistryTest, ChangesByOtherProcessesAndEditorsAreSeen) {
  HiveSandbox sandbox;
  const std::string header =
      "Windows Registry Editor Version 5.00\n\n[HKLM\\SOFTWARE\\Korvane\\MVT]\n";
  sandbox.WriteMachineHive(header + "\"Mvtlog\"=dword:00000000\n");
  ASSERT_TRUE(EventuallyReads("Mvtlog", std::string(4, '\0')));
  const uint64_t generation = HiveGeneration(RegHive::LocalMachine);

  const pid_t child = Spawn([] {
    RegistryKey key;
    return key.Create(RegHive::LocalMachine, kKey) == ERROR_SUCCESS &&
           key.SetRaw("Mvtlog", REG_DWORD, "\1\0\0\0", 4) == ERROR_SUCCESS;
  });
  ASSERT_EQ(Wait(child), 0);
  EXPECT_TRUE(EventuallyReads("Mvtlog", Lit("\1\0\0\0")));
  EXPECT_NE(HiveGeneration(RegHive::LocalMachine), generation);

  // Rewritten in place, same size, at once: the bytes are compared too.
  sandbox.WriteMachineHive(header + "\"Mvtlog\"=dword:00000002\n");
  EXPECT_TRUE(EventuallyReads("Mvtlog", Lit("\2\0\0\0")));
  sandbox.WriteMachineHive(header + "\"Mvtlog\"=dword:00000003\n");
  EXPECT_TRUE(EventuallyReads("Mvtlog", Lit("\3\0\0\0")));
}

// A test that rewrites the hive file and reads at once must see the new
// file, however fast the machine: the sandbox waits out the stamp check's
// tick. (A fast machine once read the old service account password here.)
TEST(RegistryTest, SandboxRewriteIsSeenByTheVeryNextRead) {
  HiveSandbox sandbox;
  const std::string header =
      "Windows Registry Editor Version 5.00\n\n[HKLM\\SOFTWARE\\Korvane\\MVT]\n";
  for (int round = 0; round < 20; ++round) {
    const std::string value = round % 2 ? "dword:00000001" : "dword:00000002";
    sandbox.WriteMachineHive(header + "\"Mvtlog\"=" + value + "\n");
    RegistryKey key;
    std::vector<uint8_t> data;
    ASSERT_EQ(key.Open(RegHive::LocalMachine, kKey), ERROR_SUCCESS);
    ASSERT_EQ(key.QueryRaw("Mvtlog", nullptr, &data), ERROR_SUCCESS);
    ASSERT_EQ(data, Bytes(round % 2 ? Lit("\1\0\0\0") : Lit("\2\0\0\0"))) << round;
    // A shorter file: only the size tells the stamps apart.
    sandbox.WriteMachineHive(header);
    ASSERT_EQ(key.Open(RegHive::LocalMachine, kKey), ERROR_SUCCESS);
    EXPECT_NE(key.QueryRaw("Mvtlog", nullptr, &data), ERROR_SUCCESS) << round;
  }
}

TEST(RegistryTest, ImportAppliesBothHivesOrNothing) {
  HiveSandbox sandbox;
  sandbox.WriteMachineHive(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\n\"Keep\"=\"1\"\n\"Drop\"=\"1\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT\\Old]\n\"A\"=\"1\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT\\Old\\Deep]\n\"A\"=\"1\"\n");
  const std::string machine_before = ReadFile(sandbox.machine_hive());
  const std::string user_before = ReadFile(sandbox.user_hive());
  const std::string import = sandbox.dir().File("import.reg");
  std::string error;

  WriteFile(import, "REGEDIT4\n[HKLM\\SOFTWARE\\Korvane\\MVT]\n\"URL\"=\"a\"\n\"Bad\"=dword:x\n");
  EXPECT_EQ(ImportRegFile(import, &error), ERROR_BADDB);
  EXPECT_NE(error.find(":4:"), std::string::npos) << error;
  WriteFile(import, "REGEDIT4\n[HKLM\\SOFTWARE\\X]\n\"a\"=\"1\"\n[HKEY_CLASSES_ROOT\\X]\n");
  EXPECT_EQ(ImportRegFile(import, &error), ERROR_BADDB);
  EXPECT_EQ(ImportRegFile(sandbox.dir().File("missing.reg"), &error), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadFile(sandbox.machine_hive()), machine_before);
  EXPECT_EQ(ReadFile(sandbox.user_hive()), user_before);

  WriteFile(import,
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKLM\\SOFTWARE\\Korvane\\MVT]\r\n\"URL\"=\"http://s/\"\r\n\"drop\"=-\r\n\r\n"
            "[-HKLM\\SOFTWARE\\Korvane\\MVT\\old]\r\n\r\n"
            "[HKCU\\Software\\Korvane\\MVT\\Security\\WKZ]\r\n\"LocalProfile\"=dword:00000001\r\n");
  ASSERT_EQ(ImportRegFile(import, &error), ERROR_SUCCESS) << error;
  RegistryKey key;
  std::vector<uint8_t> data;
  ASSERT_EQ(key.Open(RegHive::LocalMachine, kKey), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryRaw("Keep", nullptr, &data), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryRaw("URL", nullptr, &data), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryRaw("Drop", nullptr, &data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Open(RegHive::LocalMachine, "SOFTWARE\\Korvane\\MVT\\Old\\Deep"),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(key.Open(RegHive::CurrentUser, "SOFTWARE\\KORVANE\\MVT\\Security\\WKZ"), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryRaw("LocalProfile", nullptr, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 0, 0, 0}));
}

}  // namespace
}  // namespace qrn::platform
