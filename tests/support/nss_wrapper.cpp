#include "tests/support/nss_wrapper.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/test_env.h"

namespace qrn::test {

namespace {

constexpr char kChildVariable[] = "QRNAUTH_TEST_NSS_CHILD";

std::string WrapperLibrary() {
  for (const char* path :
       {"/usr/lib/x86_64-linux-gnu/libnss_wrapper.so",
        "/usr/lib/aarch64-linux-gnu/libnss_wrapper.so", "/usr/lib/libnss_wrapper.so"}) {
    if (std::filesystem::exists(path)) return path;
  }
  return "libnss_wrapper.so";
}

}  // namespace

bool InNssWrapperChild() { return std::getenv(kChildVariable) != nullptr; }

bool RunUnderNssWrapper(const std::string& passwd, const std::string& group,
                        const std::vector<std::string>& extra_env) {
  if (InNssWrapperChild()) return false;
  TempDir dir;
  WriteFile(dir.File("passwd"), passwd);
  WriteFile(dir.File("group"), group);
  // Readable by everyone, as the name service's files are: a thread that
  // switched to another uid still reads them.
  namespace fs = std::filesystem;
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  for (const char* name : {"passwd", "group"})
    fs::permissions(dir.File(name), fs::perms::owner_read | fs::perms::owner_write |
                                        fs::perms::group_read | fs::perms::others_read);
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  std::vector<std::string> env = {
      std::string(kChildVariable) + "=1", "LD_PRELOAD=" + WrapperLibrary(),
      "NSS_WRAPPER_PASSWD=" + dir.File("passwd"), "NSS_WRAPPER_GROUP=" + dir.File("group")};
  // Sanitizer runtimes must otherwise come first among the preloads, and do
  // not allow the wrapper to load libc with RTLD_DEEPBIND.
  env.push_back("NSS_WRAPPER_DISABLE_DEEPBIND=1");
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") +
                "verify_asan_link_order=0");
  bool hostname_given = false;
  for (const std::string& e : extra_env) {
    hostname_given = hostname_given || e.rfind("NSS_WRAPPER_HOSTNAME=", 0) == 0;
    env.push_back(e);
  }
  if (!hostname_given) env.push_back("NSS_WRAPPER_HOSTNAME=pc17.example");
  const ProcessResult result = RunProcess({"/proc/self/exe", filter}, env, "", 60);
  EXPECT_EQ(result.exit_code, 0) << "child under nss_wrapper failed:\n" << result.out << result.err;
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
  return true;
}

}  // namespace qrn::test
