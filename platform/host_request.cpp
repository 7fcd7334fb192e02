#include "platform/host_request.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace qrn::platform {
namespace {

bool GlobalInit() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ok;
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::string_view WithoutLineEnd(std::string_view url) {
  while (!url.empty() && (url.back() == '\r' || url.back() == '\n')) url.remove_suffix(1);
  return url;
}

struct Transfer {
  HostResponse* response;
  bool keep_body;
  bool too_large = false;

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Transfer*>(user);
    const std::string_view line(data, size * count);
    // A new status line starts the head of another answer (a challenge that
    // is answered, an interim 100): only the last answer's head counts.
    if (line.substr(0, 5) == "HTTP/") {
      self->response->raw_headers.clear();
      self->response->body.clear();
    }
    if (self->response->raw_headers.size() + line.size() > kHostMaxHeaderBytes) {
      self->too_large = true;
      return 0;
    }
    self->response->raw_headers.append(line);
    return line.size();
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Transfer*>(user);
    const size_t length = size * count;
    if (!self->keep_body) return length;
    if (self->response->body.size() + length > kHostMaxBodyBytes) {
      self->too_large = true;
      return 0;
    }
    self->response->body.append(data, length);
    return length;
  }
};

}  // namespace

UrlScheme ClassifyUrl(std::string_view url) {
  if (!GlobalInit()) return UrlScheme::kInvalid;
  std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
  if (!handle) return UrlScheme::kInvalid;
  const std::string text(WithoutLineEnd(url));
  // No default scheme: a URL must name its own, and it must have a host.
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK)
    return UrlScheme::kInvalid;
  char* scheme = nullptr;
  char* host = nullptr;
  if (curl_url_get(handle.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK || host == nullptr ||
      host[0] == '\0') {
    curl_free(host);
    return UrlScheme::kInvalid;
  }
  curl_free(host);
  if (curl_url_get(handle.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || scheme == nullptr)
    return UrlScheme::kInvalid;
  const std::string name(scheme);
  curl_free(scheme);
  if (name == "http") return UrlScheme::kHttp;
  if (name == "https") return UrlScheme::kHttps;
  return UrlScheme::kOther;
}

HostResponse PerformHostRequest(const HostRequest& request) {
  HostResponse response;
  if (!GlobalInit()) {
    response.error = "The internet layer could not be initialised";
    return response;
  }
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) {
    response.error = "The internet layer could not be initialised";
    return response;
  }
  CURL* e = easy.get();
  const std::string url(WithoutLineEnd(request.url));
  char error_text[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_PROXY, "");  // direct access, never from the environment
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, kHostConnectTimeoutMs);
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, kHostTotalTimeoutMs);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, kHostStallTimeoutMs / 1000);
  curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, nullptr);

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const std::string& line : request.headers) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (grown == nullptr) {
      response.error = "Out of memory";
      return response;
    }
    (void)headers.release();
    headers.reset(grown);
  }
  curl_slist* grown = curl_slist_append(headers.get(), "Expect:");
  if (grown == nullptr) {
    response.error = "Out of memory";
    return response;
  }
  (void)headers.release();
  headers.reset(grown);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());

  if (request.post) {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
  } else {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  }
  if (request.user != nullptr) {
    curl_easy_setopt(e, CURLOPT_USERNAME, request.user);
    curl_easy_setopt(e, CURLOPT_PASSWORD, request.password != nullptr ? request.password : "");
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_NTLM));
  }

  Transfer transfer{&response, request.keep_body};
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);

  const CURLcode code = curl_easy_perform(e);
  if (code != CURLE_OK) {
    if (transfer.too_large) {
      response.error = "The answer is larger than the size limit";
    } else {
      response.error = error_text[0] != '\0' ? error_text : curl_easy_strerror(code);
    }
    response.body.clear();
    return response;
  }
  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  response.status = status;
  response.ok = true;
  return response;
}

}  // namespace qrn::platform
