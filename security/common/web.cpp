#include "security/common/web.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>
#include <utility>

#include "frame/config.h"
#include "frame/report.h"
#include "platform/http_client.h"
#include "security/common/ping.h"
#include "security/common/server_requests.h"

namespace qrn {

namespace {

constexpr Site kWebSite = {&authorizationTrail, kWebSource, "GetWebPage"};
// The step's text ends in the URL and its detail is the page received.
constexpr Step kWebCall = {0, "::InternetOpenUrl", "Making the Web Call ", ""};
constexpr int32_t kLineLowerError = 158;
constexpr int32_t kLineUpperError = 171;
constexpr int32_t kLineHtmlPage = 185;
constexpr int32_t kZeroTimeoutMs = 990;
constexpr size_t kHostBufferSize = 1024;
constexpr size_t kReadChunk = 1023;
constexpr long kFirstErrorStatus = 400;

// The root session lives as long as the library; its destructor closes it
// when the library is unloaded.
struct WebState {
  std::mutex lock;
  platform::HttpSession session;
};

WebState& Web() {
  static WebState state;
  return state;
}

int32_t ReceiveTimeoutMs(int32_t seconds) {
  const int64_t ms = int64_t{seconds} * 1000;
  if (ms == 0) return kZeroTimeoutMs;
  // A negative or oversized value means, as an unsigned count, "practically
  // never": the largest timeout we can carry.
  if (ms < 0 || ms > std::numeric_limits<int32_t>::max()) {
    return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(ms);
}

// The overall deadline of a request: "HTTPTotalTimeOut" seconds when it is
// set and not 0, else the session's default (120 s). Read on every call, so
// an administrator's change applies to the next request.
int32_t TotalTimeoutMs() {
  uint32_t seconds = 0;
  if (!ReadDwordValue(platform::RegHive::LocalMachine, kConfigKey, kHttpTotalTimeoutValue,
                      &seconds) ||
      seconds == 0)
    return -1;
  return seconds > static_cast<uint32_t>(std::numeric_limits<int32_t>::max() / 1000)
             ? std::numeric_limits<int32_t>::max()
             : static_cast<int32_t>(seconds * 1000);
}

// The body arrives as the platform's reads of at most 1023 bytes, each read
// taken up to its first NUL byte; reproduce that on fixed chunk boundaries.
void AppendChunks(std::string& body, std::string& page) {
  if (std::memchr(body.data(), '\0', body.size()) == nullptr) {
    if (page.empty()) {
      page = std::move(body);
    } else {
      page.append(body);
    }
    return;
  }
  for (size_t offset = 0; offset < body.size(); offset += kReadChunk) {
    const size_t n = std::min(kReadChunk, body.size() - offset);
    const char* chunk = body.data() + offset;
    const void* nul = std::memchr(chunk, '\0', n);
    page.append(chunk, nul ? static_cast<const char*>(nul) - chunk : n);
  }
}

void Report(const std::string& url, int32_t line, const std::string& page) {
  // The trail is shown to users: never with a password from the URL.
  const std::string step = kWebCall.text + UrlWithoutUserInfo(url);
  qrn::Report(kWebSite, kWebCall.AtLine(line).WithText(step.c_str()).WithDetail(page.c_str()),
              E_FAIL);
}

// Judges the text; see GetWebPage in web.h.
bool Classify(const std::string& url, std::string& page, bool report_errors) {
  const size_t tag = page.find(kDocumentEnd);
  if (tag != std::string::npos) {
    const size_t after = tag + std::strlen(kDocumentEnd);
    if (after < page.size()) page[after] = '\0';
    return true;
  }
  if (page.find("error") != std::string::npos) {
    if (report_errors) Report(url, kLineLowerError, page);
    return false;
  }
  if (page.find("Error") != std::string::npos) {
    if (report_errors) Report(url, kLineUpperError, page);
    return false;
  }
  if (page.find("</html>") != std::string::npos) {
    if (report_errors) {
      page = kAspErrorPage;
      Report(url, kLineHtmlPage, page);
    }
    return false;
  }
  return true;
}

}  // namespace

bool GetWebPage(std::string url, std::string& page, bool report_errors) {
  try {
    WebState& web = Web();
    std::lock_guard<std::mutex> guard(web.lock);

    if (!web.session.IsOpen()) {
      uint32_t network_test = 0;
      if (ReadDwordValue(platform::RegHive::LocalMachine, kConfigKey, kNetworkTestValue,
                         &network_test) &&
          network_test != 0) {
        char host[kHostBufferSize];
        if (ExtractHostName(url.c_str(), host, sizeof host) &&
            PingHost(host, 0) == kHostUnreachable) {
          return false;
        }
      }
      if (!web.session.Open(kWebAgent)) return false;
    }

    int32_t timeout = HttpTimeout();
    if (timeout == -1) {
      uint32_t value = 0;
      if (ReadDwordValue(platform::RegHive::LocalMachine, kConfigKey, kHttpTimeoutValue, &value)) {
        timeout = AdoptHttpTimeout(static_cast<int32_t>(value));
      }
    }
    if (timeout != -1) web.session.SetReceiveTimeout(ReceiveTimeoutMs(timeout));
    web.session.SetTotalTimeout(TotalTimeoutMs());

    platform::HttpResponse response = web.session.Get(url);
    if (response.outcome != platform::HttpOutcome::kOk) return false;

    const size_t before = page.size();
    AppendChunks(response.body, page);
    if (response.status < kFirstErrorStatus) return Classify(url, page, report_errors);

    // An error status never yields a document. Bodies that read as error
    // pages are reported as such; any other body is reported like an HTML
    // error page, and is not handed back when errors are not reported.
    std::string judged = page;
    if (Classify(url, judged, false)) {
      if (report_errors) {
        page = kAspErrorPage;
        Report(url, kLineHtmlPage, page);
      } else {
        page.resize(before);
      }
      return false;
    }
    Classify(url, page, report_errors);
    return false;
  } catch (...) {
    return false;
  }
}

void SetHTTPTimeout(int32_t seconds) { SetHttpTimeout(seconds); }

bool ExtractHostName(const char* url, char* buffer, size_t size) {
  if (!url || !buffer) return false;
  const std::string_view text(url);
  size_t start = 0;
  size_t mark = text.find("://");
  if (mark == std::string_view::npos) mark = text.find(":\\");
  if (mark != std::string_view::npos) start = std::min(mark + 3, text.size());

  size_t end = text.find_first_of("/\\?", start);
  if (end == std::string_view::npos) end = text.size();

  // Only an at-sign inside the authority introduces user information; one in
  // the path or query must not move the start past the end.
  const size_t at = text.find('@', start);
  if (at != std::string_view::npos && at < end) start = at + 1;

  const size_t colon = text.find(':', start);
  if (colon != std::string_view::npos && colon < end) end = colon;

  const size_t length = end - start;
  if (length >= size) return false;
  std::memcpy(buffer, url + start, length);
  buffer[length] = '\0';
  return true;
}

}  // namespace qrn
