// The advisory lock of the cache folder: waits end at their deadline, and a
// lock path that is not a regular file is refused rather than followed.
#include "platform/file_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/test_env.h"

namespace qrn::test {
namespace {

using platform::FileLock;

TEST(FileLock, ExclusiveExcludesOthersUntilReleasedAndWaitsEndInTime) {
  TempDir dir;
  const std::string path = dir.File("MvtCache.lock");
  FileLock writer, reader, other_reader;
  ASSERT_EQ(writer.Acquire(path, FileLock::Mode::kExclusive, 0), FileLock::Result::kLocked);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0022, 0u);  // never group- or world-writable

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(reader.Acquire(path, FileLock::Mode::kShared, 200), FileLock::Result::kTimedOut);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  EXPECT_LT(waited, std::chrono::seconds(2));

  writer.Release();
  EXPECT_EQ(reader.Acquire(path, FileLock::Mode::kShared, 0), FileLock::Result::kLocked);
  EXPECT_EQ(other_reader.Acquire(path, FileLock::Mode::kShared, 0), FileLock::Result::kLocked);
  EXPECT_EQ(writer.Acquire(path, FileLock::Mode::kExclusive, 50), FileLock::Result::kTimedOut);
}

TEST(FileLock, PathsThatAreNotRegularFilesAreRefused) {
  TempDir dir;
  const std::string target = dir.File("elsewhere");
  const std::string link = dir.File("link.lock");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const std::string fifo = dir.File("fifo.lock");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FileLock lock;
  EXPECT_EQ(lock.Acquire(link, FileLock::Mode::kExclusive, 0), FileLock::Result::kUnavailable);
  EXPECT_NE(access(target.c_str(), F_OK), 0);  // the link was not followed to create it
  EXPECT_EQ(lock.Acquire(fifo, FileLock::Mode::kShared, 0), FileLock::Result::kUnavailable);
  EXPECT_EQ(lock.Acquire(dir.path(), FileLock::Mode::kShared, 0), FileLock::Result::kUnavailable);
  EXPECT_FALSE(lock.held());
}

}  // namespace
}  // namespace qrn::test
