// Splitting and normalising group list texts, and the remote-server test.
#include "security/common/qrnauthorize/group_list.h"

#include "frame/config.h"
#include "platform/os.h"
#include "platform/text.h"
#include "security/common/qrnauthorize/directory_groups.h"
#include "security/common/web.h"

namespace qrn {

namespace {
constexpr char kUseClientNetApiValue[] = "UseClientNetApi";
constexpr char kLocalHost[] = "localhost";
constexpr char kUnknownComputer[] = "Unknown";
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
  // The host can be no longer than the URL, so the buffer always suffices.
  const std::string text(url);
  std::string host(text.size() + 1, '\0');
  if (!ExtractHostName(text.c_str(), host.data(), host.size())) return std::string();
  host.resize(std::char_traits<char>::length(host.c_str()));
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
  return ClientNetApi([]() -> int32_t {
    uint32_t value = 0;
    if (ReadDwordValue(platform::RegHive::LocalMachine, kConfigKey, kUseClientNetApiValue, &value))
      return static_cast<int32_t>(value);
    return 0;
  });
}

}  // namespace qrn
