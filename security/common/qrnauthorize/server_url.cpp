// UpdateServerUrl: falls back from a security page ".aspx" that does not
// answer to its ".asp" form, as older server installations publish it.
#include <string>

#include "frame/config.h"
#include "frame/diagnostic_log.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "security/common/qrnauthorize/group_list.h"
#include "security/common/qrnauthorize/loading.h"
#include "security/common/qrnauthorize/process_state.h"
#include "security/common/web.h"

namespace qrn {

namespace {

constexpr uint32_t kUrlBuffer = 1024;
constexpr char kUrlValue[] = "URL";
constexpr char kNewExtension[] = ".aspx";
constexpr char kOldExtension[] = ".asp";
constexpr char kSetUrlName[] = "Set URL";
constexpr int32_t kSetUrlLine = 175;

bool Answers(const std::string& url) {
  std::string page;
  return GetWebPage(url, page, true);
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string UtcText() {
  const platform::UtcTime now = platform::UtcNow();
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%d %02d:%02d:%02d", now.month, now.day, now.year,
                now.hour, now.minute, now.second);
  return text;
}

void Update() {
  char url_buffer[kUrlBuffer] = {};
  uint32_t size = sizeof url_buffer;
  if (FAILED(GetAuthUrl(url_buffer, &size)) || url_buffer[0] == '\0') return;
  const std::string url(url_buffer);

  std::string computer;
  if (!platform::ComputerName(&computer)) return;

  // The same test as the group resolution's: the host without scheme, user
  // or port, so "http://localhost:8080/..." counts as this computer.
  if (!IsRemoteServer(url, computer)) return;

  if (Answers(url)) return;
  const size_t tail = sizeof kNewExtension - 1;
  if (url.size() < tail || url.compare(url.size() - tail, tail, kNewExtension) != 0) return;

  const std::string older = ReplaceAll(url, kNewExtension, kOldExtension);
  if (!Answers(older)) return;

  platform::RegistryKey key;
  if (key.Create(platform::RegHive::LocalMachine, kConfigKey) != platform::ERROR_SUCCESS) return;
  if (key.SetString(kUrlValue, older) != platform::ERROR_SUCCESS) return;
  // The process keeps the URL it read; it takes the new one at once.
  AdoptServerUrl(older);
  WriteDiagnosticLine(UtcText().c_str(), kAuthorizeSource, kSetUrlLine, 0, kSetUrlName,
                      older.c_str(), 0);
}

}  // namespace

void UpdateServerUrl() {
  try {
    Update();
  } catch (...) {
  }
}

}  // namespace qrn
