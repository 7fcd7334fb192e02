// Splitting and normalising group list texts, and the remote-server test.
#include "security/common/qrnauthorize/group_list.h"

#include "frame/config.h"
#include "platform/os.h"
#include "platform/text.h"
#include "security/common/qrnauthorize/directory_groups.h"

namespace qrn {

namespace {
constexpr char kUseClientNetApiValue[] = "UseClientNetApi";
constexpr char kLocalHost[] = "localhost";
constexpr char kUnknownComputer[] = "Unknown";
constexpr std::string_view kHttpScheme = "http://";
}  // namespace

void SplitGroupList(std::string* text, std::vector<std::string>* entries) {
  std::string_view rest(*text);
  while (!rest.empty()) {
    const size_t semicolon = rest.find(';');
    if (semicolon == std::string_view::npos) {
      entries->emplace_back(rest);
      break;
    }
    entries->emplace_back(rest.substr(0, semicolon));
    rest.remove_prefix(semicolon + 1);
  }
  text->clear();
}

HRESULT BuildGroupArray3(const std::vector<std::string>& entries,
                         std::vector<std::string>* groups) {
  for (const std::string& entry : entries) {
    std::string_view s = platform::TrimWhite(entry);
    std::string_view name;
    std::string_view qualifier;
    const size_t last = s.rfind('/');
    if (last != std::string_view::npos) {
      name = s.substr(last + 1);
      s = s.substr(0, last);
      const size_t before = s.rfind('/');
      if (before != std::string_view::npos) qualifier = s.substr(before + 1);
    }
    if (!name.empty()) {
      std::string group(qualifier.empty() ? s : qualifier);
      group += '\\';
      group += name;
      groups->push_back(std::move(group));
    }
    if (platform::EqualsNoCase(s, kEveryoneGroup)) groups->emplace_back(s);
  }
  return S_OK;
}

std::string ServerHostOfUrl(std::string_view url) {
  std::string host;
  host.reserve(url.size());
  while (!url.empty()) {
    const size_t at = url.find(kHttpScheme);
    host.append(url.substr(0, at));
    if (at == std::string_view::npos) break;
    url.remove_prefix(at + kHttpScheme.size());
  }
  // Removing one occurrence can join two halves into a new one; the search
  // runs on the text as it was, like a replace-all.
  const size_t start = host.find_first_not_of(" \t\r\n\v\f");
  host.erase(0, start == std::string::npos ? host.size() : start);
  const size_t slash = host.find('/');
  if (slash != std::string::npos) host.resize(slash);
  return host;
}

bool IsRemoteServer(std::string_view url, std::string_view computer) {
  const std::string host = ServerHostOfUrl(url);
  return !platform::EqualsNoCase(host, computer) && !platform::EqualsNoCase(host, kLocalHost);
}

std::string ResolverComputerName() {
  std::string name;
  if (!platform::ComputerName(&name)) return kUnknownComputer;
  return name;
}

int32_t UseClientNetApi() {
  ConfigState& config = Config();
  if (config.client_netapi != -1) return config.client_netapi;
  uint32_t value = 0;
  int32_t result = 0;
  if (ReadDwordValue(platform::RegHive::LocalMachine, kConfigKey, kUseClientNetApiValue, &value))
    result = static_cast<int32_t>(value);
  // A stored -1 would read as "not read"; it means "not 1" all the same.
  config.client_netapi = result == -1 ? 0 : result;
  return config.client_netapi;
}

}  // namespace qrn
