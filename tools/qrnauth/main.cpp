// qrnauth: the administrators' command-line tool. main() only dispatches: the
// commands register themselves (tools/qrnauth/command.h).
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "qrnauth/qrnauthorize.h"
#include "command.h"

namespace {

using qrn::cli::Command;

constexpr char kGlobalOptions[] =
    "Global options:\n"
    "  --trail   print the authorization trail after the command\n"
    "            (rows \"step | status | detail | source\")\n"
    "  --help    print the help of the command (or of qrnauth)\n";

std::vector<std::string> SplitWords(const std::string& name) {
  std::vector<std::string> words;
  std::istringstream in(name);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// How many leading words of `line` equal the leading words of `name`.
size_t CommonWords(const std::vector<std::string>& name, const std::vector<std::string>& line) {
  size_t n = 0;
  while (n < name.size() && n < line.size() && name[n] == line[n]) ++n;
  return n;
}

void ListCommands(std::ostream& out, const std::vector<Command>& commands) {
  size_t width = 0;
  for (const auto& c : commands) width = std::max(width, std::string(c.name).size());
  for (const auto& c : commands) {
    std::string name = c.name;
    out << "  " << name << std::string(width - name.size() + 2, ' ') << c.summary << "\n";
  }
}

void PrintTopHelp(std::ostream& out) {
  out << "usage: qrnauth [--trail] COMMAND [ARGUMENTS]\n\n"
         "Administers the QRNAuth configuration and checks the MVT security server.\n\n"
         "Commands:\n";
  ListCommands(out, qrn::cli::RegisteredCommands());
  out << "\n" << kGlobalOptions << "\nExit status: 0 success, 1 negative answer, 2 error.\n";
}

void PrintCommandHelp(std::ostream& out, const Command& command) {
  out << "qrnauth " << command.name << ": " << command.summary << "\n\n" << command.help;
  std::string help = command.help;
  if (!help.empty() && help.back() != '\n') out << "\n";
  out << "\n" << kGlobalOptions;
}

bool WantsHelp(const std::vector<std::string>& words) {
  for (const auto& word : words) {
    if (word == "--") return false;
    if (word == "--help" || word == "-h") return true;
  }
  return false;
}

int Dispatch(std::vector<std::string> line, bool* print_trail) {
  if (line.empty()) {
    PrintTopHelp(std::cerr);
    return qrn::cli::kExitError;
  }
  if (line[0] == "--help" || line[0] == "-h" || line[0] == "help") {
    line.erase(line.begin());
    if (line.empty()) {
      PrintTopHelp(std::cout);
      return qrn::cli::kExitOk;
    }
    line.push_back("--help");
  }

  const auto commands = qrn::cli::RegisteredCommands();
  const Command* best = nullptr;
  size_t best_words = 0, partial = 0;
  for (const auto& command : commands) {
    auto name = SplitWords(command.name);
    size_t common = CommonWords(name, line);
    if (common == name.size() && common > best_words) {
      best = &command;
      best_words = common;
    }
    partial = std::max(partial, common);
  }

  if (!best) {
    std::string typed;
    for (size_t i = 0; i < std::max<size_t>(partial, 1) && i < line.size(); ++i) {
      typed += (i ? " " : "") + line[i];
    }
    if (partial == 0) {
      std::cerr << "qrnauth: unknown command '" << line[0] << "'\n"
                << "Try 'qrnauth --help'.\n";
      return qrn::cli::kExitError;
    }
    // The words name a group of commands ("config"): list the group.
    std::vector<Command> group;
    for (const auto& command : commands) {
      if (CommonWords(SplitWords(command.name), line) == partial) group.push_back(command);
    }
    bool help = WantsHelp(line);
    std::ostream& out = help ? std::cout : std::cerr;
    if (!help) {
      if (partial < line.size() && line[partial][0] != '-') {
        std::cerr << "qrnauth: unknown command '" << typed << " " << line[partial] << "'\n";
      } else {
        std::cerr << "qrnauth: '" << typed << "' needs a subcommand\n";
      }
    }
    out << "Commands:\n";
    ListCommands(out, group);
    return help ? qrn::cli::kExitOk : qrn::cli::kExitError;
  }

  std::vector<std::string> rest(line.begin() + static_cast<long>(best_words), line.end());
  if (WantsHelp(rest)) {
    PrintCommandHelp(std::cout, *best);
    return qrn::cli::kExitOk;
  }
  qrn::cli::Arguments args(std::move(rest));
  try {
    return best->run(args);
  } catch (const qrn::cli::UsageError& e) {
    std::cerr << "qrnauth " << best->name << ": " << e.what() << "\n"
              << "Try 'qrnauth " << best->name << " --help'.\n";
    *print_trail = false;
  } catch (const std::exception& e) {
    std::cerr << "qrnauth " << best->name << ": " << e.what() << "\n";
  } catch (...) {
    std::cerr << "qrnauth " << best->name << ": unexpected failure\n";
  }
  return qrn::cli::kExitError;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> line;
  bool print_trail = false, after_dashes = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") after_dashes = true;
    if (!after_dashes && word == "--trail") {
      print_trail = true;
      continue;
    }
    line.push_back(std::move(word));
  }
  int status = Dispatch(std::move(line), &print_trail);
  if (print_trail) {
    std::cout.flush();
    qrn::cli::PrintTrail(std::cout, CQRNAuthorize::GetLastMvtErrors());
  }
  std::cout.flush();
  return status;
}
