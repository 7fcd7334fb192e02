// The operations files generated from the programs' own help (the manual
// pages, the bash completion of qrnauth) and the systemd unit with its
// options file: each checked against the programs as built, so a command or
// option the files miss, a page man cannot render, or shipped options
// qrnsecd refuses fail here.
#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/line_child.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

std::string DocsDir() { return std::string(QRNAUTH_BINARY_DIR) + "/docs"; }

bool Executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// The commands "qrnauth --help" lists, read here on their own terms: the
// lines under "Commands:", name and summary split at two blanks.
std::vector<std::string> ListedCommands() {
  auto help = test::RunProcess({test::CliPath(), "--help"});
  EXPECT_EQ(help.exit_code, 0);
  std::vector<std::string> commands;
  bool in_list = false;
  for (const auto& line : Lines(help.out)) {
    if (line == "Commands:") {
      in_list = true;
    } else if (in_list && line.rfind("  ", 0) == 0) {
      commands.push_back(line.substr(2, line.find("  ", 2) - 2));
    } else if (in_list) {
      break;
    }
  }
  EXPECT_GT(commands.size(), 20u);
  return commands;
}

// The options a command's usage lines name ("--user", "--save").
std::vector<std::string> UsageOptions(const std::string& help) {
  std::vector<std::string> options;
  static const std::regex kOption("--[a-z][a-z0-9-]*");
  bool in_usage = false;
  for (const auto& line : Lines(help)) {
    if (line.rfind("usage: ", 0) == 0) {
      in_usage = true;
    } else if (!(in_usage && line.rfind("    ", 0) == 0)) {
      in_usage = false;
    }
    if (!in_usage) continue;
    for (std::sregex_iterator it(line.begin(), line.end(), kOption), end; it != end; ++it) {
      // Each option once, where the usage first names it (a usage of
      // several forms repeats some).
      if (it->str() != "--trail" && it->str() != "--help" &&
          std::find(options.begin(), options.end(), it->str()) == options.end())
        options.push_back(it->str());
    }
  }
  return options;
}

std::vector<std::string> CommandOptions(const std::string& command) {
  std::vector<std::string> argv = {test::CliPath()};
  std::istringstream words(command);
  for (std::string word; words >> word;) argv.push_back(word);
  argv.push_back("--help");
  auto help = test::RunProcess(argv);
  EXPECT_EQ(help.exit_code, 0) << command;
  return UsageOptions(help.out);
}

// The page as man renders it on a wide terminal; man's warnings in err.
test::ProcessResult RenderPage(const std::string& page) {
  if (!Executable("/usr/bin/man")) return {};
  return test::RunProcess({"/usr/bin/man", "--warnings", "-P", "/bin/cat", "-l", page},
                          {"MANWIDTH=200", "LC_ALL=C.UTF-8"});
}

// The lines of a rendered page's section (from "NAME" up to the next heading
// at the left margin).
std::vector<std::string> Section(const std::string& rendered, const std::string& name) {
  std::vector<std::string> lines;
  bool in = false;
  for (const auto& line : Lines(rendered)) {
    if (!line.empty() && line[0] != ' ') {
      in = line == name;
      continue;
    }
    if (in) lines.push_back(line);
  }
  return lines;
}

TEST(ManPages, QrnauthPageHasEveryCommandWithItsOptionsAndRendersCleanly) {
  auto page = RenderPage(DocsDir() + "/qrnauth.1");
  if (page.exit_code == -1) GTEST_SKIP() << "man is not installed";
  ASSERT_EQ(page.exit_code, 0) << page.err;
  EXPECT_EQ(page.err, "");
  EXPECT_NE(page.out.find("qrnauth - administers the QRNAuth configuration"), std::string::npos);

  // A command's part runs from its heading (indented by three) to the next.
  const auto commands = Section(page.out, "COMMANDS");
  for (const auto& command : ListedCommands()) {
    const std::string heading = "   " + command;
    auto at = std::find(commands.begin(), commands.end(), heading);
    ASSERT_NE(at, commands.end()) << "the page does not describe '" << command << "'";
    std::string part;
    for (auto it = at + 1; it != commands.end() && !(it->size() > 3 && it->rfind("   ", 0) == 0 &&
                                                    (*it)[3] != ' ');
         ++it)
      part += *it + "\n";
    EXPECT_NE(part.find("qrnauth " + command), std::string::npos) << part;
    for (const auto& option : CommandOptions(command))
      EXPECT_NE(part.find(option), std::string::npos) << command << " " << option;
  }
  // Global options are items: the option first on its line.
  const auto global = Section(page.out, "GLOBAL OPTIONS");
  for (const std::string option : {"--trail", "--help"}) {
    EXPECT_NE(std::find_if(global.begin(), global.end(),
                           [&](const std::string& line) {
                             return line.rfind("       " + option, 0) == 0;
                           }),
              global.end())
        << option;
  }
  EXPECT_FALSE(Section(page.out, "EXIT STATUS").empty());
}

TEST(ManPages, QrnsecdPageHasEveryOptionOfItsUsage) {
  auto page = RenderPage(DocsDir() + "/qrnsecd.8");
  if (page.exit_code == -1) GTEST_SKIP() << "man is not installed";
  ASSERT_EQ(page.exit_code, 0) << page.err;
  EXPECT_EQ(page.err, "");
  auto help = test::RunProcess({test::ServerPath(), "--help"});
  ASSERT_EQ(help.exit_code, 0);
  const auto options = UsageOptions(help.out);
  ASSERT_GE(options.size(), 5u);
  // Each option is an item of OPTIONS: a line of its own, with its argument.
  std::vector<std::string> items;
  for (const auto& line : Section(page.out, "OPTIONS")) {
    if (line.rfind("       --", 0) == 0) items.push_back(Trim(line).substr(0, Trim(line).find(' ')));
  }
  EXPECT_EQ(items, options);
  EXPECT_NE(page.out.find("--data FILE"), std::string::npos);
  EXPECT_NE(page.out.find("/etc/qrnsecd/qrnsecd.conf"), std::string::npos);
}

// ---- bash completion -------------------------------------------------------

// What the completion offers for the words of a command line, the last one
// being completed; sorted, one per element.
std::vector<std::string> Complete(const std::vector<std::string>& words) {
  std::string script = "source '" + DocsDir() + "/qrnauth.bash' || exit 3\nCOMP_WORDS=(";
  for (const auto& word : words) script += "'" + word + "' ";
  script += ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) +
            "\nCOMPREPLY=()\n_qrnauth\nprintf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort\n";
  auto result = test::RunProcess({"/bin/bash", "--norc", "--noprofile", "-c", script});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  std::vector<std::string> offered;
  for (const auto& line : Lines(result.out))
    if (!line.empty()) offered.push_back(line);
  return offered;
}

using Offer = std::vector<std::string>;

TEST(BashCompletion, CompletesCommandWordsAfterGlobalOptions) {
  EXPECT_EQ(Complete({"qrnauth", "conf"}), Offer({"config"}));
  EXPECT_EQ(Complete({"qrnauth", "config", "s"}), Offer({"set", "show"}));
  EXPECT_EQ(Complete({"qrnauth", "--trail", "cache", ""}), Offer({"show", "verify"}));
  EXPECT_EQ(Complete({"qrnauth", "help", "userfile", ""}), Offer({"hash"}));
  EXPECT_EQ(Complete({"qrnauth", "--t"}), Offer({"--trail"}));
  EXPECT_EQ(Complete({"qrnauth", "nosuch", ""}), Offer());
  // Every listed command can be typed word by word.
  for (const auto& command : ListedCommands()) {
    std::vector<std::string> line = {"qrnauth"};
    std::istringstream words(command);
    for (std::string word; words >> word;) line.push_back(word);
    std::string last = line.back();
    line.back() = last.substr(0, 1);
    auto offered = Complete(line);
    EXPECT_NE(std::find(offered.begin(), offered.end(), last), offered.end()) << command;
  }
}

TEST(BashCompletion, OffersACommandsOwnOptionsAndCompletesTheirValues) {
  EXPECT_EQ(Complete({"qrnauth", "socket-server", "--"}),
            Offer({"--accept-timeout", "--help", "--impersonate", "--listen", "--timeout", "--trail"}));
  EXPECT_EQ(Complete({"qrnauth", "login", "--s"}), Offer({"--save"}));
  // Options of one command are not offered for another.
  EXPECT_EQ(Complete({"qrnauth", "roles", "--s"}), Offer());
  // A user option's value is a user name; root exists everywhere.
  EXPECT_EQ(Complete({"qrnauth", "check", "--user", "roo"}), Offer({"root"}));
  // Other values and positional words are file names.
  test::TempDir dir;
  test::WriteFile(dir.File("data-one.json"), "{}");
  EXPECT_EQ(Complete({"qrnauth", "demo", "--data", dir.File("data-")}), Offer({dir.File("data-one.json")}));
  EXPECT_EQ(Complete({"qrnauth", "config", "import", dir.File("data-")}),
            Offer({dir.File("data-one.json")}));
  // Each command offers exactly the options its usage names.
  for (const auto& command : ListedCommands()) {
    std::vector<std::string> line = {"qrnauth"};
    std::istringstream words(command);
    for (std::string word; words >> word;) line.push_back(word);
    line.push_back("--");
    Offer expected = CommandOptions(command);
    expected.push_back("--help");
    expected.push_back("--trail");
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(Complete(line), expected) << command;
  }
}

// ---- the service -----------------------------------------------------------

std::string SourceFile(const std::string& relative) {
  return test::ReadFile(test::SourceDir() + "/" + relative);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST(Service, UnitVerifiesAndKeepsItsExposureLow) {
  const std::string analyze = "/usr/bin/systemd-analyze";
  if (!Executable(analyze)) GTEST_SKIP() << "systemd-analyze is not installed";
  test::TempDir dir;
  std::string unit = SourceFile("server/systemd/qrnsecd.service.in");
  unit = Replace(unit, "@QRNSECD_BINARY@", test::ServerPath());
  unit = Replace(unit, "@QRNSECD_CONFIG_DIR@", dir.path());
  test::WriteFile(dir.File("qrnsecd.service"), unit);

  auto verify = test::RunProcess({analyze, "verify", "--man=no", dir.File("qrnsecd.service")}, {},
                                 "", 60);
  // Without a usable systemd (some containers) verify cannot load units at
  // all; that says nothing about this unit.
  if (verify.exit_code != 0 && verify.err.find("qrnsecd.service") == std::string::npos)
    GTEST_SKIP() << "systemd-analyze verify cannot run here: " << verify.err;
  EXPECT_EQ(verify.exit_code, 0) << verify.err;
  // An unknown or bad setting is a warning that names the unit and its line
  // (other units of the machine may have warnings of their own).
  for (const auto& line : Lines(verify.err))
    EXPECT_EQ(line.find("qrnsecd.service"), std::string::npos) << line;

  // The threshold counts tenths: 20 is an exposure of 2.0 ("OK"); the unit
  // has 1.2.
  auto security = test::RunProcess({analyze, "security", "--offline=yes", "--threshold=20",
                                    dir.File("qrnsecd.service")},
                                   {}, "", 60);
  EXPECT_EQ(security.exit_code, 0) << security.out << security.err;
}

TEST(Service, ShippedOptionsStartTheServerWithItsAuditLogInTheStateFolder) {
  test::TempDir config, state;
  test::WriteFile(config.File("data.json"), test::ReadFile(test::SampleDataPath()));
  std::string conf = SourceFile("server/systemd/qrnsecd.conf.in");
  conf = Replace(conf, "@QRNSECD_CONFIG_DIR@", config.path());

  // The one setting line, as systemd reads an environment file.
  std::string options;
  for (const auto& line : Lines(conf)) {
    if (line.rfind("QRNSECD_OPTIONS=\"", 0) == 0 && line.back() == '"') {
      ASSERT_EQ(options, "") << "QRNSECD_OPTIONS is set twice";
      options = line.substr(17, line.size() - 18);
    } else {
      ASSERT_TRUE(line.empty() || line[0] == '#') << "unexpected line: " << line;
    }
  }
  ASSERT_NE(options, "");
  options = Replace(options, "/var/lib/qrnsecd", state.path());
  options = Replace(options, "127.0.0.1:8080", "127.0.0.1:0");
  ASSERT_EQ(options.find("/etc/"), std::string::npos) << options;

  std::vector<std::string> argv = {test::ServerPath()};
  std::istringstream words(options);
  for (std::string word; words >> word;) argv.push_back(word);
  test::LineChild server(argv);
  EXPECT_EQ(server.Line().rfind("http://127.0.0.1:", 0), 0u);
  struct stat st {};
  EXPECT_EQ(stat(state.File("audit.log").c_str(), &st), 0) << "no audit log in the state folder";
}

}  // namespace
}  // namespace qrn
