// One HTTP request of a host document exchange, on libcurl, with nothing
// shared between calls: every call makes its own connection and closes it.
//
// What a request does:
//  - http or https only; HTTP/1.1 (the response headers then keep the
//    server's spelling, as the callers search them as text);
//  - no proxy, no cache, no automatic redirect: a 3xx answer is handed back
//    as it is;
//  - POST with the body exactly as given (the caller decides its bytes), or
//    GET without a body;
//  - the given header lines are sent in place of libcurl's own of the same
//    name; no "Expect: 100-continue";
//  - credentials, when a user name is given, are offered only when the
//    server challenges, in the scheme its challenge names (Basic or NTLM);
//    the user name and password go out as they are (a "DOMAIN\user" name
//    gives the NTLM domain);
//  - deadlines: connect within kHostConnectTimeoutMs, and the request fails
//    when no byte has arrived for kHostStallTimeoutMs or the whole request
//    took longer than kHostTotalTimeoutMs;
//  - size limits: the response head (all header lines of the final answer)
//    at most kHostMaxHeaderBytes, the body at most kHostMaxBodyBytes; more
//    fails the request.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qrn::platform {

constexpr long kHostConnectTimeoutMs = 30000;
constexpr long kHostStallTimeoutMs = 60000;
constexpr long kHostTotalTimeoutMs = 600000;
constexpr size_t kHostMaxHeaderBytes = size_t{64} << 10;
constexpr size_t kHostMaxBodyBytes = size_t{64} << 20;

enum class UrlScheme { kInvalid, kOther, kHttp, kHttps };

// The scheme of an absolute URL with a host. A trailing CR or LF is ignored.
UrlScheme ClassifyUrl(std::string_view url);

struct HostRequest {
  std::string url;
  bool post = false;
  std::string_view body;             // sent only with post
  std::vector<std::string> headers;  // "Name: value" lines
  const char* user = nullptr;        // null: no credentials
  const char* password = nullptr;
  bool keep_body = true;  // false: the body is read and dropped
};

struct HostResponse {
  bool ok = false;          // a complete answer was received
  long status = 0;          // its HTTP status
  std::string raw_headers;  // the final answer's status line and header lines, CR LF each
  std::string body;
  std::string error;  // why the request failed, when !ok
};

HostResponse PerformHostRequest(const HostRequest& request);

}  // namespace qrn::platform
