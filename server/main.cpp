// qrnsecd: the reference MVT security server. Serves the security page's
// request catalogue over HTTP from a JSON data file or a PostgreSQL database,
// and for load balancers and monitoring GET /health (200 while the current
// data is served, else 503) and GET /metrics (counters in the Prometheus text
// format).
//
//   qrnsecd (--data FILE | --store URL) [--listen HOST:PORT] [--page PATH]
//           [--audit-log FILE] [--audit URL] [--instance NAME]
//           [--request-log FILE] [--old-server]
//   qrnsecd --store URL --migrate | --import FILE.json | --export FILE.json
//
// With --store, audit records also go to the database (or to the database
// of --audit URL, which works with --data as well), named by the instance
// (default: host name:port). The one-shot forms change or read the database
// and exit: 0 when done, 2 on any failure.
//
// The first line on standard output is the base URL served, for example
// http://127.0.0.1:41234/mvt/security.aspx (port 0 picks a free port).
// Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot listen, 2 for a
// bad command line or a data file that cannot be read or is malformed.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/log_text.h"
#include "server/audit_writer.h"
#include "server/datastore.h"
#include "server/health.h"
#include "server/http_server.h"
#include "server/linelog.h"
#include "server/metrics.h"
#include "server/pg_connection.h"
#include "server/pg_data.h"
#include "server/pg_store.h"
#include "server/requests.h"

namespace {

using qrn::secd::Answer;

struct Options {
  std::string data, host = "127.0.0.1", page = "/mvt/security.aspx", audit_log, request_log;
  std::string store, audit_url, instance, import_file, export_file;
  int port = 0;
  bool old_server = false, migrate = false;
};

constexpr char kUsage[] =
    "usage: qrnsecd (--data FILE | --store postgresql://...) [--listen HOST:PORT]\n"
    "               [--page /mvt/security.aspx] [--audit-log FILE] [--audit postgresql://...]\n"
    "               [--instance NAME] [--request-log FILE] [--old-server]\n"
    "       qrnsecd --store postgresql://... --migrate\n"
    "       qrnsecd --store postgresql://... --import FILE.json\n"
    "       qrnsecd --store postgresql://... --export FILE.json\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "qrnsecd: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// HOST:PORT, [V6HOST]:PORT or a bare PORT.
bool ParseListen(const std::string& text, Options* options) {
  std::string host = options->host, port = text;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
    return false;
  options->host = host;
  options->port = std::stoi(port);
  return true;
}

int ParseArgs(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string listen;
    if (arg == "--data") {
      if (!value(&options->data)) return UsageError("--data needs a file");
    } else if (arg == "--listen") {
      if (!value(&listen) || !ParseListen(listen, options))
        return UsageError("--listen needs HOST:PORT");
    } else if (arg == "--page") {
      if (!value(&options->page) || options->page.empty() || options->page.front() != '/')
        return UsageError("--page needs a path starting with /");
    } else if (arg == "--audit-log") {
      if (!value(&options->audit_log)) return UsageError("--audit-log needs a file");
    } else if (arg == "--request-log") {
      if (!value(&options->request_log)) return UsageError("--request-log needs a file");
    } else if (arg == "--store") {
      if (!value(&options->store) || !qrn::secd::IsDatabaseUrl(options->store))
        return UsageError("--store needs a postgresql:// URL");
    } else if (arg == "--audit") {
      if (!value(&options->audit_url) || !qrn::secd::IsDatabaseUrl(options->audit_url))
        return UsageError("--audit needs a postgresql:// URL");
    } else if (arg == "--instance") {
      if (!value(&options->instance) || options->instance.empty())
        return UsageError("--instance needs a name");
    } else if (arg == "--migrate") {
      options->migrate = true;
    } else if (arg == "--import") {
      if (!value(&options->import_file)) return UsageError("--import needs a file");
    } else if (arg == "--export") {
      if (!value(&options->export_file)) return UsageError("--export needs a file");
    } else if (arg == "--old-server") {
      options->old_server = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      return UsageError("unknown argument " + arg);
    }
  }
  const int commands =
      options->migrate + !options->import_file.empty() + !options->export_file.empty();
  if (commands > 1) return UsageError("--migrate, --import and --export go alone");
  if (commands == 1 && options->store.empty())
    return UsageError("--migrate, --import and --export need --store");
  if (options->data.empty() == options->store.empty())
    return UsageError("either --data or --store is required");
  return 0;
}

bool SamePath(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// The path of a request target, percent-decoded ("+" stays as it is).
std::string TargetPath(const std::string& target) {
  const std::string path = target.substr(0, target.find('?'));
  std::string plain;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() &&
        std::isxdigit(static_cast<unsigned char>(path[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(path[i + 2]))) {
      plain += static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      plain += path[i];
    }
  }
  return plain;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int rc = ParseArgs(argc, argv, &options)) return rc;

  if (options.migrate) return qrn::secd::MigrateDatabase(options.store);
  if (!options.import_file.empty())
    return qrn::secd::ImportDataFile(options.store, options.import_file);
  if (!options.export_file.empty())
    return qrn::secd::ExportDataFile(options.store, options.export_file);

  // Every thread started from here on (the database watcher among them)
  // inherits this mask, so the signals reach only the waiting thread below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<qrn::secd::Store> store;
  std::string error;
  if (options.store.empty()) {
    auto file_store = std::make_unique<qrn::secd::DataStore>(options.data);
    if (!file_store->Load(&error)) {
      std::fprintf(stderr, "qrnsecd: %s\n", error.c_str());
      return 2;
    }
    store = std::move(file_store);
  } else {
    auto db_store = std::make_unique<qrn::secd::PgStore>(options.store);
    if (!db_store->Load(&error)) {
      std::fprintf(stderr, "qrnsecd: %s\n", qrn::platform::EscapeLogText(error).c_str());
      return 2;
    }
    store = std::move(db_store);
  }
  const std::string audit_url = options.audit_url.empty() ? options.store : options.audit_url;
  std::unique_ptr<qrn::secd::AuditWriter> audit_db;
  if (!audit_url.empty())
    audit_db = std::make_unique<qrn::secd::AuditWriter>(audit_url);
  qrn::secd::LineLog audit_log, request_log;
  if ((!options.audit_log.empty() && !audit_log.Open(options.audit_log, &error)) ||
      (!options.request_log.empty() && !request_log.Open(options.request_log, &error))) {
    std::fprintf(stderr, "qrnsecd: %s\n", error.c_str());
    return 2;
  }
  const qrn::secd::RequestRouter router(store.get(), &audit_log, options.old_server,
                                        audit_db.get());


  // Room for every connection the loops accept, within what the system allows.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    const rlim_t wanted = qrn::secd::kLoopThreads * qrn::secd::kMaxConnectionsPerLoop + 64;
    if (files.rlim_cur < wanted) {
      files.rlim_cur = files.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, files.rlim_max);
      setrlimit(RLIMIT_NOFILE, &files);
    }
  }

  const qrn::secd::ServableCheck servable = [&store](std::string* why) {
    return store->Servable(why);
  };
  const qrn::secd::HealthCheck health(servable);
  qrn::secd::Metrics metrics({
      .timestamp = [&store] { return store->Current()->documents.timestamp; },
      .servable = servable,
      // The file log writes at once: without a database writer, zeros.
      .audit_queue = audit_db ? std::function<qrn::secd::AuditQueueFigures()>(
                                    [&audit_db] {
                                      return qrn::secd::AuditQueueFigures{
                                          audit_db->Queued(), audit_db->Dropped()};
                                    })
                              : nullptr,
  });

  // The security page first (its path is configurable and wins), then the
  // two site paths, matched exactly; their query text is ignored.
  const auto route = [&](const qrn::secd::HttpRequest& req,
                         qrn::secd::RequestKind* kind) -> qrn::secd::HttpAnswer {
    if (req.method != "GET" && req.method != "HEAD")
      return {405, "text/html; charset=utf-8",
              "<html><body><h1>error: method not allowed</h1></body></html>\n"};
    const std::string path = TargetPath(req.target);
    Answer answer;
    if (SamePath(path, options.page)) {
      const size_t mark = req.target.find('?');
      const std::string query = mark == std::string::npos ? "" : req.target.substr(mark + 1);
      request_log.Append(query);
      *kind = qrn::secd::ClassifyQuery(query);
      answer = router.Handle(query);
    } else if (path == "/health") {
      *kind = qrn::secd::RequestKind::kHealth;
      return health.Answer();
    } else if (path == "/metrics") {
      return {200, qrn::secd::kMetricsContentType, metrics.Render()};
    } else {
      answer = qrn::secd::NotFound(path);
    }
    return {answer.status, std::move(answer.content_type), std::move(answer.body)};
  };

  qrn::secd::HttpServer server([&](const qrn::secd::HttpRequest& req) -> qrn::secd::HttpAnswer {
    const auto start = std::chrono::steady_clock::now();
    qrn::secd::RequestKind kind = qrn::secd::RequestKind::kOther;
    try {
      qrn::secd::HttpAnswer answer = route(req, &kind);
      // The security page's error page is the one answer of it that is 400.
      const bool error_page = kind == qrn::secd::RequestKind::kOther && answer.status == 400;
      metrics.Record(kind, answer.status, error_page, std::chrono::steady_clock::now() - start);
      return answer;
    } catch (...) {
      metrics.Record(kind, 500, false, std::chrono::steady_clock::now() - start);
      throw;
    }
  });
  server.OnRefused([&metrics](int status) { metrics.RecordRefused(status); });

  const int port = server.Listen(options.host, options.port);
  if (port < 0) {
    std::fprintf(stderr, "qrnsecd: cannot listen on %s:%d: %s\n", options.host.c_str(),
                 options.port, std::strerror(errno));
    return 1;
  }
  const std::string host =
      options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  if (audit_db) {
    // The instance name is known only now that the port is.
    audit_db->Start(options.instance.empty() ? qrn::secd::DefaultInstanceName(port)
                                             : options.instance);
  }
  std::printf("http://%s:%d%s\n", host.c_str(), port, options.page.c_str());
  std::fflush(stdout);

  std::atomic<bool> finished{false};
  std::thread waiter([&] {
    int received = 0;
    sigwait(&signals, &received);
    if (finished.load()) return;
    // Stops accepting; answers being written finish within their own
    // timeouts. Should that take longer than this, leave anyway.
    server.Stop();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!finished.load() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!finished.load()) std::_Exit(0);  // logs are written unbuffered
  });

  server.Run();
  if (audit_db) audit_db->Stop(std::chrono::seconds(5));
  finished = true;
  // Wakes the waiter when the loops ended by themselves; a signal already
  // taken leaves this one pending, unseen.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return 0;
}
