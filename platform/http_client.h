// The internet layer: HTTP GET and form POST over libcurl.
//
// An HttpSession plays the "root internet handle": it is opened once with an
// agent name, keeps its connections open between requests (connection reuse)
// and carries the receive timeout that later requests apply. Each request
// runs to its end inside one call; its per-request state is reset when the
// call returns, so nothing of one request leaks into the next.
//
// Behaviour of a request:
//  - no proxy (direct access), redirects followed (at most 10), http and
//    https only, also across redirects;
//  - connect timeout: connect_timeout_ms (default 30 s);
//  - receive timeout: the transfer is aborted when no byte (header or body)
//    has arrived for that many milliseconds, measured with millisecond
//    precision from the start of the request; -1 leaves the session default
//    (30 s) in force;
//  - overall deadline: the transfer is aborted when the whole request
//    (connection, headers, body, redirects) has taken total_ms (default
//    120 s), however steadily bytes arrive, so a peer that sends one byte
//    just inside every receive timeout cannot hold the caller for long;
//  - a body longer than max_body bytes is cut off there and the request
//    fails (result kTooLarge);
//  - the final HTTP status of the last response (after redirects) is
//    reported; an HTTP status of any value is a completed request (kOk):
//    judging it is the caller's business.
//
// An HttpSession is not thread-safe; callers serialise its use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qrn::platform {

enum class HttpOutcome {
  kOk,         // a complete response was received
  kNotOpen,    // the session is not open
  kConnect,    // name resolution or connection failed
  kTimeout,    // no byte arrived within the receive timeout, the overall deadline
               // passed, or connect timed out
  kTooLarge,   // the body exceeded max_body
  kTransport,  // any other transfer failure (reset, malformed response, bad URL...)
};

struct HttpResponse {
  HttpOutcome outcome = HttpOutcome::kNotOpen;
  long status = 0;    // final HTTP status; 0 when none was received
  std::string body;   // the body received (possibly partial on failure)
  std::string error;  // a short description of a failure
};

constexpr size_t kDefaultMaxBody = size_t{64} << 20;  // 64 MiB
constexpr int32_t kDefaultReceiveTimeoutMs = 30000;
constexpr int32_t kDefaultConnectTimeoutMs = 30000;
constexpr int32_t kDefaultTotalTimeoutMs = 120000;

class HttpSession {
 public:
  HttpSession();
  ~HttpSession();  // closes the session (Close)
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Opens the session with this user agent. False when the internet layer
  // cannot be set up. Opening an open session keeps it as it is.
  bool Open(std::string_view agent);
  bool IsOpen() const;
  // Closes the connections and forgets the settings.
  void Close();

  // Receive timeout of later requests in milliseconds; -1: the default.
  void SetReceiveTimeout(int32_t ms);
  void SetConnectTimeout(int32_t ms);
  // Overall deadline of later requests in milliseconds; -1: the default.
  void SetTotalTimeout(int32_t ms);
  // Body cap of later requests (kDefaultMaxBody unless set).
  void SetMaxBody(size_t bytes);

  HttpResponse Get(const std::string& url);
  // POST of form data ("application/x-www-form-urlencoded"); the body is sent
  // as it is, the caller encodes it.
  HttpResponse PostForm(const std::string& url, std::string_view form_body);

 private:
  struct State;
  HttpResponse Perform(const std::string& url, const std::string_view* post_body);
  std::unique_ptr<State> state_;
};

}  // namespace qrn::platform
