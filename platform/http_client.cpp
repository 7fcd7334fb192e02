#include "platform/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace qrn::platform {

namespace {

uint64_t NowMillis() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool GlobalInit() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ok;
}

constexpr long kMaxRedirects = 10;

}  // namespace

struct HttpSession::State {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;  // owns the connection cache between requests
  std::string agent;
  int32_t receive_ms = -1;
  int32_t connect_ms = kDefaultConnectTimeoutMs;
  int32_t total_ms = kDefaultTotalTimeoutMs;
  size_t max_body = kDefaultMaxBody;

  // State of the request in progress.
  std::string* body = nullptr;
  bool too_large = false;
  uint64_t last_byte_ms = 0;

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<State*>(user);
    const size_t n = size * count;
    self->last_byte_ms = NowMillis();
    try {
      if (self->body->empty()) {
        // Size the buffer once from the announced length, within the cap.
        curl_off_t length = -1;
        curl_easy_getinfo(self->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (length > 0 && static_cast<uint64_t>(length) <= self->max_body) {
          self->body->reserve(static_cast<size_t>(length));
        }
      }
      const size_t room = self->max_body - self->body->size();
      if (n > room) {
        self->body->append(data, room);
        self->too_large = true;
        return 0;  // aborts the transfer
      }
      self->body->append(data, n);
      return n;
    } catch (...) {
      return 0;
    }
  }

  static size_t OnHeader(char*, size_t size, size_t count, void* user) {
    static_cast<State*>(user)->last_byte_ms = NowMillis();
    return size * count;
  }
};

HttpSession::HttpSession() : state_(std::make_unique<State>()) {}

HttpSession::~HttpSession() { Close(); }

bool HttpSession::Open(std::string_view agent) {
  if (IsOpen()) return true;
  if (!GlobalInit()) return false;
  state_->easy = curl_easy_init();
  state_->multi = curl_multi_init();
  if (!state_->easy || !state_->multi) {
    Close();
    return false;
  }
  state_->agent.assign(agent);
  return true;
}

bool HttpSession::IsOpen() const { return state_->easy != nullptr; }

void HttpSession::Close() {
  if (state_->easy) curl_easy_cleanup(state_->easy);
  if (state_->multi) curl_multi_cleanup(state_->multi);
  state_->easy = nullptr;
  state_->multi = nullptr;
  state_->receive_ms = -1;
  state_->connect_ms = kDefaultConnectTimeoutMs;
  state_->total_ms = kDefaultTotalTimeoutMs;
  state_->max_body = kDefaultMaxBody;
}

void HttpSession::SetReceiveTimeout(int32_t ms) { state_->receive_ms = ms < 0 ? -1 : ms; }

void HttpSession::SetConnectTimeout(int32_t ms) {
  state_->connect_ms = ms < 0 ? kDefaultConnectTimeoutMs : ms;
}

void HttpSession::SetTotalTimeout(int32_t ms) {
  state_->total_ms = ms < 0 ? kDefaultTotalTimeoutMs : ms;
}

void HttpSession::SetMaxBody(size_t bytes) { state_->max_body = bytes; }

HttpResponse HttpSession::Get(const std::string& url) { return Perform(url, nullptr); }

HttpResponse HttpSession::PostForm(const std::string& url, std::string_view form_body) {
  return Perform(url, &form_body);
}

HttpResponse HttpSession::Perform(const std::string& url, const std::string_view* post_body) {
  HttpResponse response;
  State& s = *state_;
  if (!s.easy) {
    response.error = "session not open";
    return response;
  }
  CURL* easy = s.easy;
  // Start from clean options even if an earlier call was cut short.
  curl_easy_reset(easy);
  s.body = &response.body;
  s.too_large = false;

  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_USERAGENT, s.agent.c_str());
  curl_easy_setopt(easy, CURLOPT_PROXY, "");  // direct access, never from the environment
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s.connect_ms));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &State::OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &s);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &State::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &s);
  if (post_body) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post_body->size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, post_body->data());
  }

  const int32_t receive_ms = s.receive_ms < 0 ? kDefaultReceiveTimeoutMs : s.receive_ms;
  bool timed_out = false;
  bool multi_failed = false;
  CURLcode result = CURLE_OK;

  if (curl_multi_add_handle(s.multi, easy) != CURLM_OK) {
    multi_failed = true;
  } else {
    s.last_byte_ms = NowMillis();
    const uint64_t deadline_ms = s.last_byte_ms + static_cast<uint64_t>(s.total_ms);
    for (;;) {
      int running = 0;
      if (curl_multi_perform(s.multi, &running) != CURLM_OK) {
        multi_failed = true;
        break;
      }
      if (running == 0) break;
      const uint64_t now = NowMillis();
      const uint64_t idle = now - s.last_byte_ms;
      if (idle >= static_cast<uint64_t>(receive_ms) || now >= deadline_ms) {
        timed_out = true;
        break;
      }
      const int wait = static_cast<int>(
          std::min(static_cast<uint64_t>(receive_ms) - idle, deadline_ms - now));
      if (curl_multi_poll(s.multi, nullptr, 0, wait, nullptr) != CURLM_OK) {
        multi_failed = true;
        break;
      }
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(s.multi, &left)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) result = msg->data.result;
    }
    curl_multi_remove_handle(s.multi, easy);
  }

  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  response.status = status;

  if (multi_failed) {
    response.outcome = HttpOutcome::kTransport;
    response.error = "internet layer failure";
  } else if (timed_out) {
    response.outcome = HttpOutcome::kTimeout;
    response.error = "receive timeout";
  } else if (s.too_large) {
    response.outcome = HttpOutcome::kTooLarge;
    response.error = "response body too large";
  } else if (result == CURLE_OK) {
    response.outcome = HttpOutcome::kOk;
  } else {
    switch (result) {
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_CONNECT:
        response.outcome = HttpOutcome::kConnect;
        break;
      case CURLE_OPERATION_TIMEDOUT:
        response.outcome = HttpOutcome::kTimeout;
        break;
      default:
        response.outcome = HttpOutcome::kTransport;
        break;
    }
    response.error = curl_easy_strerror(result);
  }

  // Reset the request state; the connections stay in the multi handle.
  curl_easy_reset(easy);
  s.body = nullptr;
  return response;
}

}  // namespace qrn::platform
