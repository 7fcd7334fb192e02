// RequestHttpDocument and CQRNAuthenticate::GetHttpDocument: the host's form
// post, carrying the saved identity's credentials when a named identity is
// saved.
#include "security/common/host_document.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "platform/host_request.h"
#include "platform/text.h"
#include "qrnauth/qrnauthenticate.h"
#include "security/common/qrnauthenticate/identity_block.h"

namespace qrn {
namespace {

constexpr char kAcceptHeader[] = "Accept: text/*";
constexpr char kAgentHeader[] = "User-Agent: WKZ";
constexpr char kContentTypeHeader[] = "Content-type: application/x-www-form-urlencoded";
constexpr char kMvtErrorMark[] = "MVT Error:";
constexpr char kLocationHeader[] = "location:";
constexpr long kInternetFailureCode = 800;
constexpr uint32_t kOsUserMark = 1;

// A failure with a code and a message ends the request with an empty
// answer. The message only explains the failure to a reader of the code.
// A failure of the internet layer carries its answer text instead.
struct RequestFailure : std::runtime_error {
  RequestFailure(long code_value, const std::string& message, bool internet_layer = false)
      : std::runtime_error(message), code(code_value), internet(internet_layer) {}
  long code;
  bool internet;
};

std::vector<std::string> RequestHeaders() {
  return {kAcceptHeader, kAgentHeader, kContentTypeHeader};
}

// The value of the first "Location:" line of a response head, up to its line
// end. Header names are matched without regard to case (HTTP/1.1 lets a
// server spell them as it likes); false when there is none.
bool FindLocation(const std::string& head, std::string* location) {
  size_t line = 0;
  while (line < head.size()) {
    size_t end = head.find('\n', line);
    if (end == std::string::npos) end = head.size();
    std::string_view text(head.data() + line, end - line);
    if (text.size() >= std::strlen(kLocationHeader)) {
      bool same = true;
      for (size_t i = 0; i < std::strlen(kLocationHeader) && same; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        same = c == kLocationHeader[i];
      }
      if (same) {
        std::string_view value = text.substr(std::strlen(kLocationHeader));
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
          value.remove_prefix(1);
        while (!value.empty() && (value.back() == '\r' || value.back() == ' '))
          value.remove_suffix(1);
        *location = std::string(value);
        return true;
      }
    }
    line = end + 1;
  }
  return false;
}

std::string WithoutCarriageReturns(const std::string& body) {
  std::string text;
  text.reserve(body.size());
  for (char c : body) {
    if (c != '\r') text.push_back(c);
  }
  return text;
}

bool IsNumericAnswer(long status) { return (status >= 800 && status <= 825) || status >= 400; }

platform::HostResponse Perform(platform::HostRequest& request) {
  platform::HostResponse response = platform::PerformHostRequest(request);
  if (!response.ok) {
    throw RequestFailure(kInternetFailureCode,
                         std::to_string(kInternetFailureCode) + " " + response.error, true);
  }
  return response;
}

std::string Request(std::string_view url, std::string_view form_data, const char* user,
                    const char* password) {
  if (platform::ClassifyUrl(url) < platform::UrlScheme::kHttp)
    throw RequestFailure(1, "Can only use URLs beginning with http://");
  // The form data goes out with its terminating NUL byte.
  std::string body(form_data);
  body.push_back('\0');
  platform::HostRequest post;
  post.url = std::string(url);
  post.post = true;
  post.body = body;
  post.headers = RequestHeaders();
  post.user = user;
  post.password = password;
  platform::HostResponse response = Perform(post);

  if (response.status == 301 || response.status == 302 || response.status == 303) {
    std::string location;
    if (!FindLocation(response.raw_headers, &location))
      throw RequestFailure(2, "Site redirects with no new location");
    const platform::UrlScheme scheme = platform::ClassifyUrl(location);
    if (scheme == platform::UrlScheme::kInvalid)
      throw RequestFailure(2, "The redirected URL could not be parsed.");
    if (scheme != platform::UrlScheme::kHttp)
      throw RequestFailure(2, "The redirected URL does not reference a HTTP resource.");
    platform::HostRequest get;
    get.url = location;
    get.headers = RequestHeaders();
    response = Perform(get);
    if (response.status != 200) throw RequestFailure(response.status, "Got status code");
  }
  if (IsNumericAnswer(response.status)) return std::to_string(response.status);
  if (response.raw_headers.find(kMvtErrorMark) != std::string::npos)
    return std::to_string(kInternetFailureCode);
  return WithoutCarriageReturns(response.body);
}

}  // namespace

BSTR AnswerToBstr(const std::string& answer) {
  // Pages are mostly ASCII: widen those directly, which is many times faster
  // than the general conversion on answers of a megabyte.
  bool ascii = true;
  for (char c : answer) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (!ascii) {
    const std::u16string wide = platform::Utf8ToUtf16(answer);
    return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
  }
  BSTR text = SysAllocStringLen(nullptr, static_cast<unsigned int>(answer.size()));
  if (text == nullptr) return nullptr;
  for (size_t i = 0; i < answer.size(); ++i) text[i] = static_cast<char16_t>(answer[i]);
  return text;
}

std::string RequestHttpDocument(std::string_view url, std::string_view form_data, const char* user,
                                const char* password) {
  try {
    return Request(url, form_data, user, password);
  } catch (const RequestFailure& failure) {
    // The internet layer's failures carry their answer text; the others
    // answer empty.
    if (failure.internet) return failure.what();
    return std::string();
  }
}

}  // namespace qrn

HRESULT CQRNAuthenticate::GetHttpDocument(const char* url, const char* form_data,
                                          BSTR* document) try {
  if (document == nullptr) return E_INVALIDARG;
  *document = nullptr;
  std::string answer;
  {
    // ReadIdentity brings a saved identity into the process record as every
    // reader of it does; the request itself uses the block's texts.
    const bool saved_any = ReadIdentity();
    const qrn::SavedIdentity saved = qrn::ReadIdentityBlock();
    const bool named = saved_any && saved.os_user_mark != qrn::kOsUserMark && !saved.user.empty() &&
                       !saved.domain.empty();
    // The user name goes to the internet layer as it is: it is a name, not
    // a URL, and escaping would change it ("Carol Ann" is not "Carol%20Ann").
    const std::string user = named ? saved.domain + "\\" + saved.user : std::string();
    answer = qrn::RequestHttpDocument(
        url != nullptr ? url : "", form_data != nullptr ? form_data : "",
        named ? user.c_str() : nullptr, named ? saved.password.c_str() : nullptr);
  }
  *document = qrn::AnswerToBstr(answer);
  if (*document == nullptr) return E_OUTOFMEMORY;
  return S_OK;
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
} catch (...) {
  return E_UNEXPECTED;
}
