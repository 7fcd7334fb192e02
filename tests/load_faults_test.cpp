// Loads against a server that misbehaves as real ones do: timestamps with
// blanks, answers cut in the middle, documents that are not security
// documents, garbage, two processes loading different data at once, a URL
// with a password, a server that sends one byte at a time. Each process is
// a real qrnauth against a real qrnsecd (behind tests/support/fault_proxy.py
// where the answer must be spoiled), all on 127.0.0.1.
#include <chrono>
#include <thread>

#include "security/common/qrncache_files.h"
#include "security/common/server_requests.h"
#include "tests/authorize_fixture.h"
#include "tests/support/fault_proxy.h"

namespace qrn::test {
namespace {

constexpr char kOldStamp[] = "12/01/2026 10:00:00 AM +01:00";
constexpr char kNewStamp[] = "12/02/2026 9:30:00 AM +01:00";

class LoadFaultsTest : public AuthorizeFixture {
 protected:
  // The data with SALES\bob removed from the role Operators: the permission
  // 4 on "Payroll.Item" is no longer his.
  static std::string WithoutBob(const std::string& timestamp) {
    std::string json = DataJson(timestamp, {"Payroll"});
    const std::string member = R"("users": ["SALES\\bob"])";
    json.replace(json.find(member), member.size(), R"("users": [])");
    return json;
  }
  static std::vector<std::string> Load() { return {"--trail", "load", "--user", "SALES\\bob"}; }
  ProcessResult CheckBob() const {
    return Cli({"check", "--user", "SALES\\bob", "Payroll.Item", "4"});
  }

  void StartBehindProxy() {
    StartServer();
    proxy_ = std::make_unique<FaultProxy>(secd_->port());
    const std::string& url = secd_->url();
    UseUrl(proxy_->url(url.substr(url.find('/', 7))));
  }

  std::vector<std::string> CacheFiles() const {
    std::vector<std::string> files;
    for (const char* name : {kApplicationCacheFile, kRoleCacheFile, kAclCacheFile, kTimestampFile})
      files.push_back(ReadFile(CacheFile(name)));
    return files;
  }

  // The server takes a permission away and then answers badly (mode): the
  // valid files answer meanwhile, are left exactly as they were, and once
  // the server answers well again the permission is denied.
  void ExpectBadAnswerKeepsTheCache(const std::string& mode) {
    WriteData(DataJson(kOldStamp, {"Payroll"}));
    StartBehindProxy();
    ASSERT_EQ(CheckBob().exit_code, 0);  // granted; the files are written
    const std::vector<std::string> before = CacheFiles();

    WriteData(WithoutBob(kNewStamp));
    proxy_->SetMode(mode);
    const ProcessResult load = Cli(Load());
    EXPECT_EQ(load.exit_code, 0) << load.out << load.err;
    EXPECT_NE(load.out.find("source: cache\n"), std::string::npos) << load.out;
    EXPECT_NE(load.out.find("the Local Cache would be used"), std::string::npos) << load.out;
    const ProcessResult during = CheckBob();
    EXPECT_EQ(during.exit_code, 0) << during.out << during.err;  // the old files answer
    EXPECT_EQ(CacheFiles(), before);
    EXPECT_EQ(Cli({"cache", "verify"}).exit_code, 0);

    proxy_->SetMode("pass");
    const ProcessResult after = CheckBob();
    EXPECT_EQ(after.exit_code, 1) << after.out << after.err;
    EXPECT_EQ(after.out, "denied\n");
  }

  std::unique_ptr<FaultProxy> proxy_;
};

TEST_F(LoadFaultsTest, TimestampWithBlanksAndPlusRoundTripsThroughLaterProcesses) {
  const std::string stamp = "12/01/2026 10:00:00 AM +01:00 #7 100%?";
  WriteData(DataJson(stamp, {"Payroll"}));
  StartServer();
  const ProcessResult first = Cli(Load());
  EXPECT_NE(first.out.find("source: server\ntimestamp: " + stamp + "\n"), std::string::npos)
      << first.out;
  for (int process = 2; process <= 3; ++process) {
    const ProcessResult later = Cli(Load());
    EXPECT_NE(later.out.find("source: cache\ntimestamp: " + stamp + "\n"), std::string::npos)
        << "process " << process << ":\n"
        << later.out;
    EXPECT_NE(later.out.find("MVT Security Server is available"), std::string::npos) << later.out;
  }
  // Both later processes sent the stored timestamp encoded, and reached the server.
  const std::string sent = "ClientTimestamp=" + CanonicalizeValue(stamp) + "\n";
  const std::string log = secd_->RequestLog();
  const size_t at = log.find(sent);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_NE(log.find(sent, at + 1), std::string::npos) << log;

  // A change on the server is still seen.
  WriteData(WithoutBob("12/01/2026 10:00:01 AM +01:00"));
  EXPECT_EQ(CheckBob().out, "denied\n");
}

TEST_F(LoadFaultsTest, CutAnswerStoresNothingAndTheRemovedPermissionIsDenied) {
  ExpectBadAnswerKeepsTheCache("cut");
}

TEST_F(LoadFaultsTest, WellFormedForeignDocumentsReplaceNoFile) {
  ExpectBadAnswerKeepsTheCache("foo");
}

TEST_F(LoadFaultsTest, GarbageAnswerIsTreatedLikeAnUnreachableServer) {
  ExpectBadAnswerKeepsTheCache("garbage");
}

TEST_F(LoadFaultsTest, CutAnswerWithoutLocalFilesLoadsNothing) {
  WriteData(DataJson(kOldStamp, {"Payroll"}));
  StartBehindProxy();
  proxy_->SetMode("cut");
  const ProcessResult load = Cli(Load());
  EXPECT_EQ(load.exit_code, 1) << load.out;
  EXPECT_NE(load.out.find("there is no valid Local Cache"), std::string::npos) << load.out;
  for (const char* name : {kApplicationCacheFile, kRoleCacheFile, kAclCacheFile, kTimestampFile})
    EXPECT_EQ(ReadFile(CacheFile(name)), "") << name;
}

// Two processes load at once, one the old data and one the new. The renames
// of their writes are slowed (strace) so that, without a lock, the old one's
// role file lands after the new one's and the new timestamp last of all.
TEST_F(LoadFaultsTest, OverlappingLoadsLeaveOneWholeSet) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  WriteData(DataJson(kOldStamp, {"Payroll"}));
  StartServer();
  auto slowed = [](const char* inject) {
    return std::vector<std::string>{"/usr/bin/strace",
                                    "-f",
                                    "-o",
                                    "/dev/null",
                                    "-e",
                                    "trace=rename,renameat,renameat2",
                                    "-e",
                                    std::string("inject=rename,renameat,renameat2:") + inject,
                                    CliPath(),
                                    "load",
                                    "--user",
                                    "SALES\\bob"};
  };
  ProcessResult old_load, new_load;
  // The old data's load: its first rename waits 1.5 s.
  std::thread old_thread(
      [&] { old_load = RunProcess(slowed("delay_enter=1500000:when=1"), {}, "", 60); });
  // Once it has its answer, the server publishes the new data; the new
  // data's load then writes its fourth file (the timestamp file) 3 s late.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (secd_->RequestLog().find("MvtSecData") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  WriteData(WithoutBob(kNewStamp));
  std::thread new_thread(
      [&] { new_load = RunProcess(slowed("delay_enter=3000000:when=4"), {}, "", 60); });
  old_thread.join();
  new_thread.join();
  ASSERT_EQ(old_load.exit_code, 0) << old_load.out << old_load.err;
  ASSERT_EQ(new_load.exit_code, 0) << new_load.out << new_load.err;
  EXPECT_NE(new_load.out.find("timestamp: " + std::string(kNewStamp)), std::string::npos);

  EXPECT_EQ(Cli({"cache", "verify"}).exit_code, 0);
  // Whichever set is on disk, it is whole: the removed permission is denied.
  const ProcessResult check = CheckBob();
  EXPECT_EQ(check.out, "denied\n") << check.err;
}

TEST_F(LoadFaultsTest, PasswordOfTheUrlIsNeitherStoredNorShown) {
  WriteData(DataJson(kOldStamp, {"Payroll"}));
  StartServer();
  const std::string url = secd_->url();
  const std::string with_password = "http://admin:s3cret@" + url.substr(7);
  UseUrl(with_password);
  ASSERT_EQ(Cli({"load"}).exit_code, 0);

  std::string timestamp, stored_url;
  ASSERT_TRUE(ReadTimestampFile(CacheFile(kTimestampFile), &timestamp, &stored_url));
  EXPECT_EQ(stored_url, url);
  const ProcessResult show = Cli({"cache", "show", kTimestampFile});
  EXPECT_EQ(show.out.find("s3cret"), std::string::npos) << show.out;
  // The same URL still finds its files current.
  EXPECT_NE(Cli({"load"}).out.find("source: cache\n"), std::string::npos);

  // A file an older version wrote with the password: still current, never shown.
  ASSERT_TRUE(WriteTimestampFile(CacheFile(kTimestampFile), kOldStamp, with_password));
  EXPECT_EQ(Cli({"cache", "show", kTimestampFile}).out.find("s3cret"), std::string::npos);
  EXPECT_EQ(Cli({"cache", "show"}).out.find("s3cret"), std::string::npos);
}

// One byte every second with a receive timeout of 3 s: only the overall
// deadline ends the request.
TEST_F(LoadFaultsTest, ServerSendingOneByteAtATimeIsCutOffByTheOverallDeadline) {
  WriteData(DataJson(kOldStamp, {"Payroll"}));
  StartBehindProxy();
  proxy_->SetMode("drip:1");
  const std::string& url = secd_->url();
  UseUrl(proxy_->url(url.substr(url.find('/', 7))),
         "\"HTTPTimeOut\"=dword:00000003\r\n\"HTTPTotalTimeOut\"=dword:00000002\r\n");
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult load = Cli(Load());
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_LT(seconds, 15) << load.out;
  // The combined request ran out of time: the server counts as unreachable.
  EXPECT_NE(load.out.find("MVT Security Server not available"), std::string::npos) << load.out;
}

}  // namespace
}  // namespace qrn::test
