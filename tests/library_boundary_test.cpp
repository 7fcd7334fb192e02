// The library's boundary: the shared library exports the host surface and
// the administration interface, each symbol in the version node, and
// nothing of its internals; the include seam check finds what crosses it.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace {

std::vector<std::string> ExportedSymbols() {
  const qrn::test::ProcessResult nm = qrn::test::RunProcess(
      {"/usr/bin/nm", "-D", "--defined-only", "--demangle", qrn::test::LibraryPath()});
  EXPECT_EQ(nm.exit_code, 0) << nm.err;
  std::vector<std::string> symbols;
  std::istringstream lines(nm.out);
  for (std::string line; std::getline(lines, line);) {
    // "ADDRESS TYPE NAME": keep the name.
    const size_t name = line.find(' ', line.find(' ') + 1);
    if (name != std::string::npos) symbols.push_back(line.substr(name + 1));
  }
  return symbols;
}

bool Exports(const std::vector<std::string>& symbols, const std::string& start) {
  for (const std::string& symbol : symbols)
    if (symbol.rfind(start, 0) == 0) return true;
  return false;
}

TEST(LibraryExportsTest, OnlyThePublicSurfaceLeavesTheLibraryInItsVersionNode) {
  const std::vector<std::string> symbols = ExportedSymbols();
  ASSERT_FALSE(symbols.empty());
  for (const std::string& symbol : symbols) {
    if (symbol == "QRNAUTH_0") continue;  // the node itself
    EXPECT_NE(symbol.find("@@QRNAUTH_0"), std::string::npos) << symbol;
    // A qualified name belongs to an exported class or to the
    // administration interface; anything else (an internal function, a C++
    // library instance made in our code) should have stayed inside.
    std::string name = symbol.substr(0, symbol.find_first_of("(@"));
    for (const char* prefix : {"typeinfo name for ", "typeinfo for ", "vtable for "})
      if (name.rfind(prefix, 0) == 0) name = name.substr(std::string(prefix).size());
    const bool internal = name.find("::") != std::string::npos && name.rfind("CQRN", 0) != 0 &&
                          name.rfind("qrn::admin::", 0) != 0;
    EXPECT_FALSE(internal) << symbol;
  }
  for (const char* expected :
       {"SetSecurityServer@@", "CQRNAuthorize::InitCache(", "CQRNAuthenticate::AuthenticateUser(",
        "CQRNRoleList::", "SafeArrayCreate@@", "CoCreateInstance@@", "IID_IQrnXml2@@",
        "CLSID_NovellUserInfo@@", "qrn::admin::ReadEffectiveConfig(", "qrn::admin::VerifyCache("})
    EXPECT_TRUE(Exports(symbols, expected)) << expected;
}

// Runs the seam check on a tree; its output and exit status.
qrn::test::ProcessResult CheckSeam(const std::string& tree) {
  return qrn::test::RunProcess({qrn::test::SourceDir() + "/scripts/check-seam.sh", tree});
}

TEST(SeamCheckTest, ThisTreeIsCleanAndEachKindOfCrossingIsFound) {
  const qrn::test::ProcessResult ours = CheckSeam(qrn::test::SourceDir());
  EXPECT_EQ(ours.exit_code, 0) << ours.out << ours.err;

  qrn::test::TempDir dir;
  const std::string tree = dir.path();
  for (const char* folder : {"/frame", "/platform", "/security", "/security/common", "/tools",
                             "/tools/qrnauth", "/include", "/include/qrnauth"})
    std::filesystem::create_directory(tree + folder);
  auto write = [&](const std::string& file, const std::string& text) {
    qrn::test::WriteFile(tree + "/" + file, text);
  };
  // Allowed: standard headers anywhere, system headers in platform/ and in
  // the CLI's os_* files, siblings and public headers in the CLI.
  write("frame/ok.cpp", "#include <string>\n#include <cstdint>\n#include \"frame/trail.h\"\n");
  write("platform/ok.cpp", "#include <unistd.h>\n#include <curl/curl.h>\n");
  write("tools/qrnauth/os_ok.cpp", "#include <termios.h>\n");
  write("tools/qrnauth/ok.cpp", "#include \"command.h\"\n#include \"qrnauth/admin.h\"\n");
  ASSERT_EQ(CheckSeam(tree).exit_code, 0) << CheckSeam(tree).out;

  write("security/common/a.cpp", "#include <string>\n  #  include <unistd.h>\n");
  write("frame/b.h", "#include <pugixml.hpp>\n#include \"security/common/web.h\"\n");
  write("platform/c.cpp", "#include \"frame/config.h\"\n");
  write("include/qrnauth/d.h", "#include \"platform/text.h\"\n");
  write("tools/qrnauth/e.cpp", "#include <sys/socket.h>\n#include \"security/common/qrncrypt.h\"\n");
  const qrn::test::ProcessResult found = CheckSeam(tree);
  EXPECT_EQ(found.exit_code, 1);
  for (const char* line : {"security/common/a.cpp:2:", "frame/b.h:1:", "frame/b.h:2:",
                           "platform/c.cpp:1:", "include/qrnauth/d.h:1:", "tools/qrnauth/e.cpp:1:",
                           "tools/qrnauth/e.cpp:2:"})
    EXPECT_NE(found.out.find(line), std::string::npos) << line << "\n" << found.out;
  for (const char* clean : {"frame/ok.cpp", "platform/ok.cpp", "os_ok.cpp", "qrnauth/ok.cpp"})
    EXPECT_EQ(found.out.find(clean), std::string::npos) << clean << "\n" << found.out;
}

}  // namespace
