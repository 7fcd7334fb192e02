// The OS seam: folders, names, the event file, clocks, attributes.
#include "platform/os.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/test_env.h"

namespace qrn::platform {
namespace {

TEST(OsTest, TempFolderAlwaysEndsInSlash) {
  setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(TempFolder(), "/var/tmp/");
  setenv("TMPDIR", "/var/tmp/", 1);
  EXPECT_EQ(TempFolder(), "/var/tmp/");
  unsetenv("TMPDIR");
  EXPECT_EQ(TempFolder(), "/tmp/");
}

TEST(OsTest, ComputerNameIsTheUpperCasedFirstLabel) {
  std::string name;
  ASSERT_TRUE(ComputerName(&name));
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 15u);
  EXPECT_EQ(name.find('.'), std::string::npos);
  for (char c : name) EXPECT_FALSE(c >= 'a' && c <= 'z') << name;
}

TEST(OsTest, ModuleAndHostFileNames) {
  EXPECT_NE(ModuleFileName().find("libqrnauth.so"), std::string::npos) << ModuleFileName();
  EXPECT_NE(HostFileName().find("os_test"), std::string::npos) << HostFileName();
}

TEST(OsTest, WriteEventAppendsLinesToTheEventFile) {
  test::TempDir dir;
  const std::string file = dir.File("events.log");
  setenv("QRNAUTH_EVENT_LOG", file.c_str(), 1);
  WriteEvent("first");
  WriteEvent("second %s");
  EXPECT_EQ(test::ReadFile(file), "first\nsecond %s\n");
}

TEST(OsTest, EventTextsCannotStartALineOfTheirOwn) {
  test::TempDir dir;
  const std::string file = dir.File("events.log");
  setenv("QRNAUTH_EVENT_LOG", file.c_str(), 1);
  WriteEvent("User: SALES\\bob\nforged event\r\x01");
  EXPECT_EQ(test::ReadFile(file), "User: SALES\\bob\\nforged event\\r\\x01\n");
}

TEST(OsTest, PathAttributesReadTheWriteBits) {
  test::TempDir dir;
  EXPECT_FALSE(GetPathAttributes(dir.File("none")).exists);
  PathAttributes folder = GetPathAttributes(dir.path());
  EXPECT_TRUE(folder.exists && folder.directory && !folder.read_only);
  ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
  EXPECT_TRUE(GetPathAttributes(dir.path()).read_only);  // root included
  test::WriteFile(dir.File("f"), "x");
  EXPECT_FALSE(GetPathAttributes(dir.File("f")).directory);
}

TEST(OsTest, ClocksAgree) {
  const int64_t seconds = UnixSeconds();
  const UtcTime now = UtcNow();
  EXPECT_GE(now.year, 2024);
  EXPECT_TRUE(now.month >= 1 && now.month <= 12 && now.day >= 1 && now.day <= 31);
  EXPECT_TRUE(now.millisecond >= 0 && now.millisecond < 1000);
  EXPECT_GT(seconds, 1700000000);
  const uint64_t a = CoarseMillis();
  usleep(20000);
  EXPECT_GT(CoarseMillis(), a);
}

}  // namespace
}  // namespace qrn::platform
