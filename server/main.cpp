// qrnsecd: the reference MVT security server. Serves the security page's
// request catalogue from a JSON data file over HTTP.
//
//   qrnsecd --data FILE [--listen HOST:PORT] [--page PATH] [--audit-log FILE]
//           [--request-log FILE] [--old-server]
//
// The first line on standard output is the base URL served, for example
// http://127.0.0.1:41234/mvt/security.aspx (port 0 picks a free port).
// Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot listen, 2 for a
// bad command line or a data file that cannot be read or is malformed.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "server/datastore.h"
#include "server/linelog.h"
#include "server/requests.h"

namespace {

using qrn::secd::Answer;

struct Options {
  std::string data, host = "127.0.0.1", page = "/mvt/security.aspx", audit_log, request_log;
  int port = 0;
  bool old_server = false;
};

constexpr char kUsage[] =
    "usage: qrnsecd --data FILE [--listen HOST:PORT] [--page /mvt/security.aspx]\n"
    "               [--audit-log FILE] [--request-log FILE] [--old-server]\n";

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
    } else if (arg == "--old-server") {
      options->old_server = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      return UsageError("unknown argument " + arg);
    }
  }
  if (options->data.empty()) return UsageError("--data is required");
  return 0;
}

bool SamePath(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

void Send(const Answer& answer, httplib::Response& res) {
  res.status = answer.status;
  res.set_content(answer.body, answer.content_type.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int rc = ParseArgs(argc, argv, &options)) return rc;

  qrn::secd::DataStore store(options.data);
  std::string error;
  if (!store.Load(&error)) {
    std::fprintf(stderr, "qrnsecd: %s\n", error.c_str());
    return 2;
  }
  qrn::secd::LineLog audit_log, request_log;
  if ((!options.audit_log.empty() && !audit_log.Open(options.audit_log, &error)) ||
      (!options.request_log.empty() && !request_log.Open(options.request_log, &error))) {
    std::fprintf(stderr, "qrnsecd: %s\n", error.c_str());
    return 2;
  }
  const qrn::secd::RequestRouter router(&store, &audit_log, options.old_server);

  // Every thread started from here on inherits this mask, so the signals
  // reach only the waiting thread below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  server.set_keep_alive_max_count(100000);
  server.set_keep_alive_timeout(2);
  server.set_read_timeout(5, 0);
  server.set_write_timeout(5, 0);
  server.set_tcp_nodelay(true);
  server.set_payload_max_length(1 << 20);
  // Requests between routing and the end of their response; the logger runs
  // once the response has been written.
  std::atomic<int> in_flight{0};
  server.set_logger([&](const httplib::Request&, const httplib::Response&) { --in_flight; });
  server.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
    ++in_flight;
    try {
      if (req.method != "GET" && req.method != "HEAD") {
        res.status = 405;
        res.set_content("<html><body><h1>error: method not allowed</h1></body></html>\n",
                        "text/html; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (!SamePath(req.path, options.page)) {
        Send(qrn::secd::NotFound(req.path), res);
        return httplib::Server::HandlerResponse::Handled;
      }
      const size_t mark = req.target.find('?');
      const std::string query = mark == std::string::npos ? "" : req.target.substr(mark + 1);
      request_log.Append(query);
      Send(router.Handle(query), res);
    } catch (const std::exception& e) {
      res.status = 500;
      res.set_content("<html><body><h1>error</h1></body></html>\n", "text/html; charset=utf-8");
      std::fprintf(stderr, "qrnsecd: request failed: %s\n", e.what());
    }
    return httplib::Server::HandlerResponse::Handled;
  });

  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(options.host);
    if (port <= 0) port = -1;
  } else if (!server.bind_to_port(options.host, port)) {
    port = -1;
  }
  if (port < 0) {
    std::fprintf(stderr, "qrnsecd: cannot listen on %s:%d: %s\n", options.host.c_str(),
                 options.port, std::strerror(errno));
    return 1;
  }
  const std::string host =
      options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  std::printf("http://%s:%d%s\n", host.c_str(), port, options.page.c_str());
  std::fflush(stdout);

  std::atomic<bool> finished{false};
  std::thread waiter([&] {
    int received = 0;
    sigwait(&signals, &received);
    // stop() is a no-op until the listening loop runs, so repeat it until
    // the loop has ended or only idle keep-alive connections remain: those
    // would hold the worker threads until their keep-alive time runs out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool stopped = false;
    while (!finished.load()) {
      if (server.is_running()) {
        server.stop();
        stopped = true;
      }
      if (stopped && in_flight.load() <= 0) break;
      if (std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!finished.load()) std::_Exit(0);  // logs are written unbuffered
  });

  const bool clean = server.listen_after_bind();
  finished = true;
  // Wakes the waiter when the loop ended by itself; a signal already taken
  // leaves this one pending, unseen.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return clean ? 0 : 1;
}
