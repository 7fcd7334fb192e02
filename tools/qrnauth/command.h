// The qrnauth command framework.
//
// Every command lives in its own file under tools/qrnauth/ and registers
// itself at start-up, so adding a command needs no edit anywhere else:
//
//   namespace {
//   int ShowCache(qrn::cli::Arguments& args) {
//     std::string user = args.RequiredOption("--user");
//     args.Finish();
//     ...
//     return qrn::cli::kExitOk;
//   }
//   }  // namespace
//   QRN_CLI_COMMAND("cache show", "print the cache files", "usage: ...", ShowCache);
//
// A command name is one or more words separated by single blanks ("config
// show"). main() picks the command whose words match the longest prefix of the
// command line and hands the remaining words to it as Arguments. "--help" (or
// "-h") anywhere in a command's arguments prints its help instead of running
// it. The global option "--trail", accepted anywhere before "--", prints the
// authorization trail after the command ran (rows "step | status | detail |
// source").
//
// Exit status: kExitOk (0) on success, kExitNo (1) for a negative answer that
// is not an error (access denied by a check, a value that is not set), and
// kExitError (2) for every error. Errors go to stderr: throw UsageError for a
// bad command line (the message names the bad argument) or CommandError for a
// failure; main() prints "qrnauth <command>: <message>" and exits 2.
#pragma once

#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "qrnauth/oleauto.h"

namespace qrn::cli {

constexpr int kExitOk = 0;
constexpr int kExitNo = 1;
constexpr int kExitError = 2;

// A bad command line. main() adds a pointer to the command's --help.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure while running a command.
class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The words after the command name. Options are "--name VALUE" or
// "--name=VALUE" and may stand anywhere before a "--" word; every word after
// "--" is positional. Each accessor consumes what it returns; Finish() rejects
// what nobody consumed.
class Arguments {
 public:
  explicit Arguments(std::vector<std::string> words);

  // The value of option `name` (e.g. "--user"); nullopt when absent. Throws
  // UsageError when the option has no value or is given twice.
  std::optional<std::string> Option(std::string_view name);
  // As Option, but a missing option is a UsageError.
  std::string RequiredOption(std::string_view name);
  // True when the flag (an option without value, e.g. "--save") is present.
  bool Flag(std::string_view name);
  // The next positional word; `what` names it in the UsageError when missing
  // ("missing FILE").
  std::string Next(std::string_view what);
  std::optional<std::string> NextOptional();
  // Every positional word not consumed yet.
  std::vector<std::string> Rest();
  // Throws UsageError naming the first word nobody consumed: an unknown
  // option or an unexpected argument.
  void Finish() const;

 private:
  bool IsOptionWord(size_t i) const;

  std::vector<std::string> words_;
  std::vector<bool> used_;
  size_t end_of_options_;  // index of "--", or words_.size()
};

using CommandFn = int (*)(Arguments& args);

struct Command {
  const char* name;     // "config show"
  const char* summary;  // one line for the command list
  const char* help;     // the usage lines and a description, for --help
  CommandFn run;
};

// Adds a command; returns true so it can initialise a static. Registering two
// commands of one name aborts the program at start (a build mistake).
bool RegisterCommand(const Command& command);
// Every registered command, sorted by name.
std::vector<Command> RegisteredCommands();

// Prints a trail VARIANT (6 x 4 array of VARIANT, or VT_EMPTY) as a header
// row and one row per stored entry: "step | status | detail | source", the
// status as 0x%08X.
void PrintTrail(std::ostream& out, const VARIANT* trail);

// "0x80004005"
std::string FormatHresult(HRESULT hr);

}  // namespace qrn::cli

#define QRN_CLI_CONCAT_INNER(a, b) a##b
#define QRN_CLI_CONCAT(a, b) QRN_CLI_CONCAT_INNER(a, b)
#define QRN_CLI_COMMAND(name, summary, help, fn)                                     \
  [[maybe_unused]] static const bool QRN_CLI_CONCAT(qrn_cli_command_, __COUNTER__) = \
      ::qrn::cli::RegisterCommand({name, summary, help, fn})
