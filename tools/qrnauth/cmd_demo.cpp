// qrnauth demo: a walk through authorization against a private qrnsecd
// serving the bundled sample data, in a temporary configuration. Each step
// runs as a child qrnauth process (a fresh process, as a host would be),
// so the machine's own configuration is never read or changed.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "os_child_process.h"
#include "qrnauth/admin.h"

namespace {

namespace fs = std::filesystem;
using qrn::cli::Arguments;
using qrn::cli::CommandError;

constexpr int kServerStartMs = 10000;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CommandError("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
  const fs::path temporary = path.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!(out << text)) throw CommandError("cannot write " + temporary.string());
  }
  fs::rename(temporary, path);
}

// The first of the candidates that exists.
fs::path FindFile(const std::optional<std::string>& given, const std::vector<fs::path>& candidates,
                  const char* what) {
  if (given) return *given;
  for (const fs::path& candidate : candidates)
    if (fs::exists(candidate)) return fs::canonical(candidate);
  throw CommandError(std::string("cannot find ") + what + " (give it with an option)");
}

// Removes the folder when the demo ends, however it ends.
struct TempFolder {
  fs::path path;
  TempFolder() {
    const fs::path base = fs::temp_directory_path();
    for (int i = 0;; ++i) {
      path = base / ("qrnauth-demo-" + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                                   std::chrono::system_clock::now().time_since_epoch())
                                                   .count()) + "-" +
                     std::to_string(i));
      if (fs::create_directory(path)) break;
    }
    fs::create_directory(path / "tmp");
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

class Demo {
 public:
  Demo(fs::path self, fs::path server, fs::path sample)
      : self_(std::move(self)), server_(std::move(server)), sample_(std::move(sample)) {
    env_ = {"QRNAUTH_MACHINE_HIVE=" + (folder_.path / "machine.reg").string(),
            "QRNAUTH_USER_HIVE=" + (folder_.path / "user.reg").string(),
            "TMPDIR=" + (folder_.path / "tmp").string()};
    WriteText(folder_.path / "user.reg", "Windows Registry Editor Version 5.00\r\n\r\n");
  }

  int Run() {
    WriteText(Data(), ReadText(sample_));
    Step("start", StartServer("127.0.0.1:0") ? "qrnsecd serves data/sample.json at " + url_
                                             : "qrnsecd did not start");
    if (url_.empty()) return qrn::cli::kExitError;
    WriteHive();

    Step("load", Cli({"load", "--user", "SALES\\bob"}));
    Step("roles of SALES\\bob", Cli({"roles", "--user", "SALES\\bob"}));
    Step("groups of SALES\\bob", Cli({"groups", "SALES\\bob"}));
    Step("SALES\\bob Payroll.Monthly 4",
         Cli({"check", "--user", "SALES\\bob", "Payroll.Monthly", "4"}));
    Step("SALES\\alice Payroll.Rates 1",
         Cli({"check", "--user", "SALES\\alice", "Payroll.Rates", "1"}));
    Step("anyone Inventory.Items 1",
         Cli({"check", "--user", "OTHER\\eve", "Inventory.Items", "1"}));

    server_process_.Stop();
    Step("outage", "qrnsecd stopped");
    Step("load", Cli({"load", "--user", "SALES\\bob"}));
    Step("SALES\\bob Payroll.Monthly 4",
         Cli({"check", "--user", "SALES\\bob", "Payroll.Monthly", "4"}));

    // The administrator takes permission 4 from Operators on the monthly
    // payroll; the server comes back with the changed data.
    std::string changed = ReadText(sample_);
    const std::string from = "\"Payroll.Monthly\": \"Operators:7;";
    if (const size_t at = changed.find(from); at != std::string::npos)
      changed.replace(at, from.size(), "\"Payroll.Monthly\": \"Operators:3;");
    changed.insert(changed.find('{') + 1, "\n  \"timestamp\": \"12/02/2026 9:30:00 AM\",");
    WriteText(Data(), changed);
    Step("restart", StartServer(host_port_) ? "qrnsecd serves the changed data at " + url_
                                            : "qrnsecd did not come back");
    Step("load", Cli({"load", "--user", "SALES\\bob"}));
    Step("SALES\\bob Payroll.Monthly 4",
         Cli({"check", "--user", "SALES\\bob", "Payroll.Monthly", "4"}));
    Step("SALES\\bob Payroll.Monthly 2",
         Cli({"check", "--user", "SALES\\bob", "Payroll.Monthly", "2"}));
    server_process_.Stop();
    Step("audit", std::to_string(AuditRecords()) +
                      " authorization records reached qrnsecd (none while it was down)");
    return qrn::cli::kExitOk;
  }

 private:
  fs::path Data() const { return folder_.path / "data.json"; }

  int AuditRecords() const {
    std::ifstream log(folder_.path / "audit.log");
    int records = 0;
    for (std::string line; std::getline(log, line);)
      if (line.find("\"Authorization\"") != std::string::npos) ++records;
    return records;
  }

  bool StartServer(const std::string& listen) {
    url_.clear();
    if (!server_process_.Start({server_.string(), "--data", Data().string(), "--listen", listen,
                                "--audit-log", (folder_.path / "audit.log").string()},
                               {}, (folder_.path / "qrnsecd.log").string()))
      return false;
    url_ = server_process_.FirstLine(kServerStartMs);
    // "http://127.0.0.1:PORT/page": keep HOST:PORT for the restart.
    const size_t start = url_.find("://");
    if (start == std::string::npos) {
      url_.clear();
      return false;
    }
    host_port_ = url_.substr(start + 3, url_.find('/', start + 3) - start - 3);
    return true;
  }

  void WriteHive() const {
    WriteText(folder_.path / "machine.reg",
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n"
              "\"URL\"=\"" +
                  url_ +
                  "\"\r\n"
                  "\"NTGroupSupport\"=dword:00000001\r\n"
                  "\"UseServerADSI\"=dword:00000001\r\n"
                  "\"LogInfoToServer\"=dword:00000001\r\n");
  }

  // The child's output on one line: its lines joined by "; ".
  std::string Cli(std::vector<std::string> words) const {
    words.insert(words.begin(), self_.string());
    const qrn::cli::ChildResult result = qrn::cli::RunChild(words, env_);
    std::string line;
    std::istringstream lines(result.out);
    for (std::string part; std::getline(lines, part);) {
      if (part.empty()) continue;
      line += (line.empty() ? "" : "; ") + part;
    }
    if (result.exit_code == qrn::cli::kExitError) line += " (error)";
    return line.empty() ? "(no output, exit " + std::to_string(result.exit_code) + ")" : line;
  }

  static void Step(const std::string& what, const std::string& outcome) {
    std::cout << "== " << what << ": " << outcome << std::endl;
  }

  TempFolder folder_;
  fs::path self_, server_, sample_;
  std::vector<std::string> env_;
  qrn::cli::BackgroundChild server_process_;
  std::string url_;
  std::string host_port_;
};

int RunDemo(Arguments& args) {
  const std::optional<std::string> server = args.Option("--server");
  const std::optional<std::string> data = args.Option("--data");
  args.Finish();
  const fs::path self = qrn::admin::HostFileName();
  const fs::path dir = self.parent_path();
  Demo demo(self, FindFile(server, {dir / "qrnsecd", dir / "../sbin/qrnsecd"}, "qrnsecd"),
            FindFile(data,
                     {dir / "../../data/sample.json", dir / "../data/sample.json",
                      dir / "../share/qrnauth/sample.json"},
                     "the sample data"));
  return demo.Run();
}

}  // namespace

QRN_CLI_COMMAND("demo", "a walk through authorization against a private qrnsecd",
                "usage: qrnauth demo [--server QRNSECD] [--data SAMPLE.json]\n"
                "Starts qrnsecd with the sample data on a free loopback port, points a\n"
                "temporary configuration at it, and shows a load, role and group lookups,\n"
                "granted and denied checks, checks served from the local cache while the\n"
                "server is down, and a reload after the data changed. Nothing of this\n"
                "machine's configuration is read or changed.",
                RunDemo);
