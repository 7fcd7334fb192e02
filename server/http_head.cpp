#include "server/http_head.h"

#include <cstdint>

namespace qrn::secd {

namespace {

bool IsTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x | 0x20);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y | 0x20);
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// True when the comma-separated list holds `token` (any case).
bool ListHas(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (EqualsNoCase(Trim(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

// Next line without its end ("\r\n" or a bare "\n").
std::string_view NextLine(std::string_view* rest) {
  const size_t nl = rest->find('\n');
  std::string_view line = rest->substr(0, nl);
  rest->remove_prefix(nl == std::string_view::npos ? rest->size() : nl + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

HeadScanner::State HeadScanner::Scan(std::string_view buffer) {
  for (; seen_ < buffer.size(); ++seen_) {
    if (buffer[seen_] != '\n') continue;
    size_t length = seen_ - line_start_;
    if (length > 0 && buffer[seen_ - 1] == '\r') --length;
    if (length > kMaxHeadLine) return State::kLineTooLong;
    if (length == 0 && lines_ > 0) {
      head_size_ = seen_ + 1;
      ++seen_;
      return head_size_ > kMaxHead ? State::kHeadTooLong : State::kComplete;
    }
    ++lines_;
    line_start_ = seen_ + 1;
    if (seen_ + 1 > kMaxHead) return State::kHeadTooLong;
  }
  // The line still open counts too: a client cannot hold back its line end.
  if (seen_ - line_start_ > kMaxHeadLine + 1) return State::kLineTooLong;
  if (seen_ > kMaxHead) return State::kHeadTooLong;
  return State::kMore;
}

int ParseHead(std::string_view head, HttpRequest* request) {
  std::string_view rest = head;
  const std::string_view line = NextLine(&rest);
  // METHOD SP TARGET SP HTTP/1.x, nothing else.
  const size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || sp1 == 0) return 400;
  const size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return 400;
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  for (unsigned char c : method)
    if (!IsTokenChar(c)) return 400;
  for (unsigned char c : target)
    if (c <= 0x20 || c == 0x7f) return 400;
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
      version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
    return 400;
  if (version[5] != '1') return 505;
  request->method = std::string(method);
  request->target = std::string(target);
  request->minor_version = version[7] - '0';

  bool close = false, keep_alive = false, have_length = false;
  while (!rest.empty()) {
    const std::string_view field = NextLine(&rest);
    if (field.empty()) break;
    const size_t colon = field.find(':');
    // No continuation lines, no blank before the colon, a token for a name.
    if (colon == std::string_view::npos || colon == 0) return 400;
    const std::string_view name = field.substr(0, colon);
    for (unsigned char c : name)
      if (!IsTokenChar(c)) return 400;
    const std::string_view value = Trim(field.substr(colon + 1));
    for (unsigned char c : value)
      if ((c < 0x20 && c != '\t') || c == 0x7f) return 400;
    if (EqualsNoCase(name, "Connection")) {
      close = close || ListHas(value, "close");
      keep_alive = keep_alive || ListHas(value, "keep-alive");
    } else if (EqualsNoCase(name, "Content-Length")) {
      // Digits only, at most 18 of them, and the same value if repeated.
      if (value.empty() || value.size() > 18 ||
          value.find_first_not_of("0123456789") != std::string_view::npos)
        return 400;
      uint64_t length = 0;
      for (char c : value) length = length * 10 + static_cast<uint64_t>(c - '0');
      const bool body = length > 0;
      if (have_length && body != request->has_body) return 400;
      have_length = true;
      request->has_body = request->has_body || body;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
      request->has_body = true;
    }
  }
  request->keep_alive = request->minor_version >= 1 ? !close : keep_alive && !close;
  return 0;
}

}  // namespace qrn::secd
