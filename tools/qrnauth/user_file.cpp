// Classifying and rewriting the lines of the NTLM user file.
#include "user_file.h"

#include <cstdint>
#include <vector>

#include "qrnauth/admin.h"

namespace qrn::cli {
namespace {

// One line without its ending, and the ending ("\n", "\r\n" or nothing).
struct Line {
  std::string_view text;
  std::string_view ending;
};

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    size_t next = end == std::string_view::npos ? content.size() : end + 1;
    size_t text_end = end == std::string_view::npos ? content.size() : end;
    if (text_end > start && content[text_end - 1] == '\r') --text_end;
    lines.push_back(
        {content.substr(start, text_end - start), content.substr(text_end, next - text_end)});
    start = next;
  }
  return lines;
}

bool IsHexDigits(std::string_view text, size_t count) {
  if (text.size() != count) return false;
  for (char c : text) {
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

enum class Kind { kOther, kPlain, kHashed };

// The plain-text parts of an entry.
struct PlainEntry {
  std::string_view domain;
  std::string_view user;
  std::string_view password;
};

Kind Classify(std::string_view text, PlainEntry* entry) {
  size_t first_char = text.find_first_not_of(" \t");
  if (first_char == std::string_view::npos || text[first_char] == '#') return Kind::kOther;
  size_t first = text.find(':');
  if (first == std::string_view::npos) return Kind::kOther;
  size_t second = text.find(':', first + 1);
  if (second == std::string_view::npos) return Kind::kOther;
  size_t third = text.find(':', second + 1);
  if (third != std::string_view::npos) {
    // NT-hash form: the fourth field is the hash. Any other line of more
    // than three fields is no entry the mechanism accepts (it denies
    // "DOM:user:pa:ss" for "pa" and for "pa:ss" alike), so it stays as it
    // is rather than becoming a working entry.
    size_t fourth = text.find(':', third + 1);
    std::string_view hash = text.substr(
        third + 1, (fourth == std::string_view::npos ? text.size() : fourth) - third - 1);
    return IsHexDigits(hash, 2 * admin::kNtHashSize) ? Kind::kHashed : Kind::kOther;
  }
  entry->domain = text.substr(0, first);
  entry->user = text.substr(first + 1, second - first - 1);
  entry->password = text.substr(second + 1);
  return Kind::kPlain;
}

std::string HashedEntry(const PlainEntry& entry, const uint8_t (&hash)[admin::kNtHashSize]) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line;
  if (!entry.domain.empty()) {
    line.append(entry.domain);
    line += '\\';
  }
  line.append(entry.user);
  // The uid, LM hash, flags and last-change fields are not used for NTLM
  // checks; they are written as the mechanism's own examples show them.
  line += ":0:XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX:";
  for (uint8_t byte : hash) {
    line += kHex[byte >> 4];
    line += kHex[byte & 0x0F];
  }
  line += ":[U          ]:LCT-00000000:";
  return line;
}

}  // namespace

size_t CountPlainEntries(std::string_view content) {
  size_t count = 0;
  PlainEntry entry;
  for (const Line& line : SplitLines(content))
    if (Classify(line.text, &entry) == Kind::kPlain) ++count;
  return count;
}

bool HashPlainEntries(std::string_view content, UserFileRewrite* result) {
  *result = UserFileRewrite();
  result->content.reserve(content.size() + content.size() / 2);
  size_t number = 0;
  for (const Line& line : SplitLines(content)) {
    ++number;
    PlainEntry entry;
    if (Classify(line.text, &entry) != Kind::kPlain) {
      result->content.append(line.text);
    } else {
      uint8_t hash[admin::kNtHashSize];
      if (!admin::NtHash(entry.password, hash)) {
        result->content.clear();
        result->rewritten = 0;
        result->bad_line = number;
        return false;
      }
      result->content += HashedEntry(entry, hash);
      ++result->rewritten;
    }
    result->content.append(line.ending);
  }
  return true;
}

}  // namespace qrn::cli
