// Files in folders other users may write to (the temporary folder, the cache
// folder): planted links, FIFOs, devices, huge files and a permissive umask
// must neither stall nor exhaust a reader, nor make a writer touch a file
// elsewhere or leave one that everybody may write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/file_io.h"
#include "security/common/qrnauthorize/loading.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

using platform::FileError;
using platform::FileResult;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mode;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Restores the umask when the test ends.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : old_(umask(mask)) {}
  ~UmaskScope() { umask(old_); }

 private:
  mode_t old_;
};

TEST(SharedFileRead, RefusesLinksFifosDevicesAndFilesOverTheLimit) {
  test::TempDir dir;
  const std::string secret = dir.File("secret");
  test::WriteFile(secret, "root only\n");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  std::string content = "stale";

  ASSERT_EQ(symlink(secret.c_str(), dir.File("link").c_str()), 0);
  EXPECT_FALSE(platform::ReadWholeFile(dir.File("link"), &content));
  EXPECT_TRUE(content.empty());
  EXPECT_EQ(platform::ReadFileChecked(dir.File("link"), &content).error, FileError::kLink);
  // A path the user named may be a link; what it names must still be a file.
  platform::ReadOptions follow;
  follow.follow_links = true;
  EXPECT_TRUE(platform::ReadFileChecked(dir.File("link"), &content, follow).ok());
  EXPECT_EQ(content, "root only\n");
  ASSERT_EQ(symlink("/dev/zero", dir.File("zero").c_str()), 0);
  EXPECT_EQ(platform::ReadFileChecked(dir.File("zero"), &content, follow).error,
            FileError::kNotRegular);

  // A FIFO without a writer: the open does not wait for one.
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0644), 0);
  EXPECT_EQ(platform::ReadFileChecked(dir.File("fifo"), &content).error, FileError::kNotRegular);
  EXPECT_EQ(platform::ReadFileChecked(dir.path(), &content).error, FileError::kNotRegular);

  // A sparse 3 GB file costs no disk and is refused before anything is read.
  const std::string sparse = dir.File("sparse");
  const int fd = open(sparse.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{3} << 30), 0);
  close(fd);
  const FileResult big = platform::ReadFileChecked(sparse, &content);
  EXPECT_EQ(big.error, FileError::kTooLarge);
  EXPECT_NE(big.Describe().find("134217728"), std::string::npos) << big.Describe();

  // Exactly at the limit is read; one byte more is not.
  platform::ReadOptions small;
  small.max_bytes = 4;
  test::WriteFile(dir.File("four"), "1234");
  EXPECT_TRUE(platform::ReadFileChecked(dir.File("four"), &content, small).ok());
  EXPECT_EQ(content, "1234");
  test::WriteFile(dir.File("five"), "12345");
  EXPECT_EQ(platform::ReadFileChecked(dir.File("five"), &content, small).error,
            FileError::kTooLarge);
  EXPECT_EQ(platform::ReadFileChecked(dir.File("none"), &content).error, FileError::kMissing);
}

TEST(SharedFileReplace, NeverLeavesAWorldWritableFileNorWritesThroughALink) {
  test::TempDir dir;
  UmaskScope open_umask(0);

  const std::string fresh = dir.File("MvtCache.txt");
  ASSERT_TRUE(platform::ReplaceWholeFile(fresh, "new"));
  EXPECT_EQ(ModeOf(fresh) & 07777, 0664u);

  // A file left world-writable (by an older version under umask 000) keeps
  // its other bits, but not write access for others nor a set-id bit.
  const std::string old = dir.File("RoleCache.xml");
  test::WriteFile(old, "old");
  ASSERT_EQ(chmod(old.c_str(), 06666), 0);
  ASSERT_TRUE(platform::ReplaceWholeFile(old, "new"));
  EXPECT_EQ(ModeOf(old) & 07777, 0664u);
  EXPECT_EQ(test::ReadFile(old), "new");

  // A link planted at the name is replaced; what it pointed at is left alone.
  const std::string target = dir.File("target");
  test::WriteFile(target, "keep");
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  const std::string planted = dir.File("AclCache.xml");
  ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
  ASSERT_TRUE(platform::ReplaceWholeFile(planted, "cache"));
  EXPECT_TRUE(S_ISREG(ModeOf(planted)));
  EXPECT_EQ(ModeOf(planted) & 07777, 0664u);  // not the target's 0600
  EXPECT_EQ(test::ReadFile(target), "keep");
}

// The hives' replacement: exactly the mode asked for (whatever the umask),
// never o+w or set-id bits, and the identity of the file it wrote, which a
// later read of the same file reports too; a folder that cannot be written
// leaves nothing behind.
TEST(SharedFileReplace, WithModeGivesThatModeAndTheNewFilesIdentity) {
  test::TempDir dir;
  UmaskScope strict_umask(077);

  const std::string hive = dir.File("machine.reg");
  platform::FileIdentity written;
  ASSERT_TRUE(platform::ReplaceFileWithMode(hive, "first", 0644, &written));
  EXPECT_EQ(ModeOf(hive) & 07777, 0644u);
  EXPECT_TRUE(written.exists);
  EXPECT_EQ(written, platform::IdentifyFile(hive));
  std::string content;
  const FileResult read = platform::ReadFileChecked(hive, &content);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.identity, written);

  platform::FileIdentity rewritten;
  ASSERT_TRUE(platform::ReplaceFileWithMode(hive, "second, longer", 06666, &rewritten));
  EXPECT_EQ(ModeOf(hive) & 07777, 0664u);
  EXPECT_NE(rewritten, written);
  EXPECT_EQ(test::ReadFile(hive), "second, longer");

  EXPECT_FALSE(platform::ReplaceFileWithMode(dir.File("no/such/folder/user.reg"), "x", 0600));
  EXPECT_FALSE(platform::IdentifyFile(dir.File("no/such/folder/user.reg")).exists);
}

TEST(CacheFolderCheck, CreatesNothingThroughALinkAndNothingWorldWritable) {
  test::HiveSandbox sandbox;  // the cache folder is its temporary folder
  const std::string timestamp = sandbox.temp_folder() + "MvtCache.txt";
  UmaskScope open_umask(0);

  // A dangling link: the check fails and creates no file where it points.
  const std::string target = sandbox.dir().File("created-by-root");
  ASSERT_EQ(symlink(target.c_str(), timestamp.c_str()), 0);
  EXPECT_FALSE(MvtCacheFolderWritable());
  EXPECT_FALSE(Exists(target));

  // Without the link: created empty, and not writable by others.
  ASSERT_EQ(unlink(timestamp.c_str()), 0);
  EXPECT_TRUE(MvtCacheFolderWritable());
  EXPECT_TRUE(S_ISREG(ModeOf(timestamp)));
  EXPECT_EQ(ModeOf(timestamp) & S_IWOTH, 0u);
  EXPECT_EQ(test::ReadFile(timestamp), "");
  // An existing file keeps its content.
  test::WriteFile(timestamp, "stamp");
  EXPECT_TRUE(MvtCacheFolderWritable());
  EXPECT_EQ(test::ReadFile(timestamp), "stamp");
}

// The CLI runs as a child with a deadline: a reader that waits on a FIFO or
// reads a device to the end would be killed, not hang the suite.
class CacheCliTest : public ::testing::Test {
 protected:
  test::ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), test::CliPath());
    return test::RunProcess(args, {}, "", 20);
  }
  std::string Cached(const std::string& name) const { return sandbox_.temp_folder() + name; }

  test::HiveSandbox sandbox_;
};

TEST_F(CacheCliTest, ShowFinishesOnFifosDevicesAndHugeFiles) {
  ASSERT_EQ(mkfifo(Cached("MvtCache.txt").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(Cached("RoleCache.xml").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/zero", Cached("AclCache.xml").c_str()), 0);
  const int fd = open(Cached("ApplCache.xml").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{3} << 30), 0);
  close(fd);

  const test::ProcessResult folder = Run({"cache", "show"});
  EXPECT_EQ(folder.exit_code, 0) << folder.err;
  EXPECT_NE(folder.out.find("ApplCache.xml  unusable: is larger than the limit"), std::string::npos)
      << folder.out;
  EXPECT_NE(folder.out.find("RoleCache.xml  unusable: is not a regular file"), std::string::npos)
      << folder.out;
  EXPECT_NE(folder.out.find("AclCache.xml   unusable: is a symbolic link"), std::string::npos)
      << folder.out;
  EXPECT_NE(folder.out.find("MvtCache.txt   unusable: is not a regular file"), std::string::npos)
      << folder.out;

  const test::ProcessResult fifo = Run({"cache", "show", "MvtCache.txt"});
  EXPECT_EQ(fifo.exit_code, 2);
  EXPECT_NE(fifo.err.find("MvtCache.txt: is not a regular file"), std::string::npos) << fifo.err;
  const test::ProcessResult zero = Run({"cache", "show", Cached("AclCache.xml")});
  EXPECT_EQ(zero.exit_code, 2);
  EXPECT_NE(zero.err.find("is a symbolic link"), std::string::npos) << zero.err;
}

TEST_F(CacheCliTest, LoadStopsAtAFifoInsteadOfTheCacheTimestamp) {
  // The cache-folder check opens the timestamp file for writing: a FIFO
  // without a reader must fail it at once, not block the load for ever.
  ASSERT_EQ(mkfifo(Cached("MvtCache.txt").c_str(), 0644), 0);
  const test::ProcessResult load = Run({"load"});
  EXPECT_EQ(load.exit_code, 1) << load.out << load.err;
  EXPECT_NE(load.out.find("loaded: no"), std::string::npos) << load.out;
}

}  // namespace
}  // namespace qrn
