#include "server/health.h"

namespace qrn::secd {

namespace {

constexpr char kText[] = "text/plain; charset=utf-8";

// One line of printable text: the reason comes from file names and parser
// messages, which may hold anything.
std::string OneLine(const std::string& text) {
  std::string out;
  for (unsigned char c : text.substr(0, 1024)) out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
  return out;
}

}  // namespace

HttpAnswer HealthCheck::Answer() const {
  std::string why;
  if (!servable_ || servable_(&why)) return {200, kText, "ok\n"};
  return {503, kText, "not serving the current data: " + OneLine(why) + "\n"};
}

}  // namespace qrn::secd
