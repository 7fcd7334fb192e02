#include "transport_endpoint.h"

#include <cstring>
#include <vector>

#include "os_terminal.h"
#include "qrnauth/admin.h"
#include "qrnauth/qrnauthenticate.h"

namespace qrn::cli {
namespace {

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 5) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return std::stoul(s) <= 65535;
}

struct Secret {
  std::string text;
  ~Secret() {
    volatile char* p = text.data();
    for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  }
};

constexpr uint32_t kMaxVerdict = 1024;

}  // namespace

Endpoint ParseEndpoint(const std::string& text) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) throw UsageError("expected HOST:PORT, got \"" + text + "\"");
  Endpoint e{text.substr(0, colon), text.substr(colon + 1)};
  if (e.host.size() >= 2 && e.host.front() == '[' && e.host.back() == ']') {
    e.host = e.host.substr(1, e.host.size() - 2);
  }
  if (e.host.empty() || !AllDigits(e.port)) {
    throw UsageError("expected HOST:PORT, got \"" + text + "\"");
  }
  return e;
}

Endpoint ParseHttpUrl(const std::string& url, std::string* target) {
  const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) != 0) {
    throw UsageError("only http:// URLs are supported: \"" + url + "\"");
  }
  std::string rest = url.substr(scheme.size());
  size_t slash = rest.find_first_of("/?");
  std::string authority = rest.substr(0, slash);
  *target = slash == std::string::npos ? "/" : rest.substr(slash);
  if (target->front() == '?') *target = "/" + *target;
  if (authority.find('@') != std::string::npos) throw UsageError("user information in the URL");
  bool bracketed = !authority.empty() && authority.front() == '[';
  size_t colon = authority.rfind(':');
  if (colon != std::string::npos && (!bracketed || authority.find(']') < colon)) {
    return ParseEndpoint(authority);
  }
  return ParseEndpoint(authority + ":80");
}

void ApplyTimeoutOption(Arguments& args) {
  std::optional<std::string> timeout = args.Option("--timeout");
  if (!timeout) return;
  char* end = nullptr;
  unsigned long ms = std::strtoul(timeout->c_str(), &end, 10);
  if (timeout->empty() || *end != '\0' || ms == 0 || ms > 86400000) {
    throw UsageError("--timeout takes milliseconds from 1 to 86400000");
  }
  CQRNAuthenticate::SetTransportTimeout(static_cast<uint32_t>(ms));
}

void ApplyCredentials(CQRNAuthenticate& auth, const std::optional<std::string>& domain,
                      const std::optional<std::string>& user) {
  if (!user) {
    if (domain) throw UsageError("--domain needs --user");
    return;
  }
  Secret password;
  // A password the credential record cannot hold (255 bytes) is refused
  // after reading at most one byte more.
  if (ReadSecretLine("Password: ", 255, &password.text) ==
      SecretLine::kTooLong) {
    throw CommandError("the password is longer than 255 bytes");
  }
  if (!auth.SetAuthenticationCredential(domain.value_or("").c_str(), user->c_str(),
                                        password.text.c_str())) {
    throw CommandError("the credentials are refused (a text over 255 bytes)");
  }
}

bool SendVerdict(int fd, const std::string& verdict) {
  return admin::SendFrame(fd, verdict);
}

std::optional<std::string> ReceiveVerdict(int fd) {
  return admin::ReceiveFrame(fd, kMaxVerdict);
}

}  // namespace qrn::cli
