// Parser and writer of the ".reg" text format.
#include "platform/regfile.h"

#include <cstdio>

#include "platform/text.h"

namespace qrn::platform {
namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = s[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
    if (a != prefix[i]) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 1..8 hex digits making up all of s.
bool ParseHex32(std::string_view s, uint32_t* value) {
  if (s.empty() || s.size() > 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

// The file's text as UTF-8: a UTF-16LE file (byte-order mark FF FE) is
// converted, a UTF-8 byte-order mark is dropped.
std::string DecodeFileText(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
      static_cast<uint8_t>(bytes[1]) == 0xFE) {
    std::u16string wide;
    wide.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                           (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    }
    return Utf16ToUtf8(wide);
  }
  if (bytes.size() >= 3 && static_cast<uint8_t>(bytes[0]) == 0xEF &&
      static_cast<uint8_t>(bytes[1]) == 0xBB && static_cast<uint8_t>(bytes[2]) == 0xBF) {
    bytes.remove_prefix(3);
  }
  return std::string(bytes);
}

// Reads a quoted text starting at s[0] == '"'; *rest is what follows the
// closing quote. Escapes: \\ and \"; a backslash before anything else is
// kept as it is.
bool ParseQuoted(std::string_view s, std::string* text, std::string_view* rest) {
  text->clear();
  for (size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      *rest = s.substr(i + 1);
      return true;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      text->push_back(s[++i]);
      continue;
    }
    text->push_back(c);
  }
  return false;
}

bool ParseHexBytes(std::string_view list, std::vector<uint8_t>* out) {
  out->clear();
  list = TrimBlanks(list);
  if (!list.empty() && list.back() == ',') list = TrimBlanks(list.substr(0, list.size() - 1));
  if (list.empty()) return true;
  size_t pos = 0;
  for (;;) {
    size_t comma = list.find(',', pos);
    if (comma == std::string_view::npos) comma = list.size();
    const std::string_view token = TrimBlanks(list.substr(pos, comma - pos));
    uint32_t byte;
    if (token.size() > 2 || !ParseHex32(token, &byte)) return false;
    out->push_back(static_cast<uint8_t>(byte));
    if (comma == list.size()) return true;
    pos = comma + 1;
  }
}

bool IsWideText(uint32_t type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::vector<uint8_t> Utf16LeBytesToUtf8(const std::vector<uint8_t>& bytes) {
  std::u16string wide;
  wide.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  const std::string narrow = Utf16ToUtf8(wide);
  std::vector<uint8_t> out(narrow.begin(), narrow.end());
  if (bytes.size() % 2 != 0) out.push_back(bytes.back());  // a stray odd byte
  return out;
}

std::vector<uint8_t> Utf8ToUtf16LeBytes(const std::vector<uint8_t>& bytes) {
  const std::u16string wide =
      Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  std::vector<uint8_t> out;
  out.reserve(wide.size() * 2);
  for (char16_t u : wide) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8));
  }
  return out;
}

class Parser {
 public:
  Parser(std::string_view text, RegFile* out, RegParseError* error)
      : text_(text), out_(out), error_(error) {}

  bool Run() {
    out_->keys.clear();
    out_->unicode = true;
    std::string_view line;
    // Header: the first line that is not blank.
    for (;;) {
      if (!NextLine(&line)) return true;  // nothing but blanks: an empty file
      line = TrimBlanks(line);
      if (!line.empty()) break;
    }
    if (line == kHeader5) {
      out_->unicode = true;
    } else if (line == kHeader4) {
      out_->unicode = false;
    } else {
      return Fail("not a registry file: unknown header");
    }
    while (NextLine(&line)) {
      line = TrimBlanks(line);
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        if (!ParseSection(line)) return false;
        continue;
      }
      if (out_->keys.empty()) return Fail("value outside of a key section");
      if (!ParseValue(line)) return false;
    }
    return true;
  }

 private:
  bool NextLine(std::string_view* line) {
    if (pos_ > text_.size() || (pos_ == text_.size() && line_no_ > 0)) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    ++line_no_;
    return true;
  }

  bool Fail(std::string message) {
    error_->line = line_no_;
    error_->message = std::move(message);
    return false;
  }

  bool ParseSection(std::string_view line) {
    if (line.back() != ']') return Fail("key section without closing ']'");
    std::string_view inner = line.substr(1, line.size() - 2);
    RegFileKey key;
    key.line = line_no_;
    if (!inner.empty() && inner.front() == '-') {
      key.remove = true;
      inner.remove_prefix(1);
    }
    while (!inner.empty() && inner.back() == '\\') inner.remove_suffix(1);
    if (inner.empty()) return Fail("empty key name");
    key.path = std::string(inner);
    out_->keys.push_back(std::move(key));
    return true;
  }

  bool ParseValue(std::string_view line) {
    RegFileValue value;
    std::string_view rest;
    if (line.front() == '@') {
      rest = line.substr(1);
    } else if (line.front() == '"') {
      if (!ParseQuoted(line, &value.name, &rest)) return Fail("value name without closing quote");
    } else {
      return Fail("expected a quoted value name or @");
    }
    rest = TrimBlanks(rest);
    if (rest.empty() || rest.front() != '=') return Fail("expected '=' after the value name");
    rest = TrimBlanks(rest.substr(1));
    if (!ParseData(rest, &value)) return false;
    RegFileKey& key = out_->keys.back();
    if (key.remove) return Fail("value inside a key that is being deleted");
    key.values.push_back(std::move(value));
    return true;
  }

  bool ParseData(std::string_view data, RegFileValue* value) {
    if (data == "-") {
      value->remove = true;
      return true;
    }
    if (!data.empty() && data.front() == '"') {
      std::string text;
      std::string_view after;
      if (!ParseQuoted(data, &text, &after)) return Fail("text without closing quote");
      if (!TrimBlanks(after).empty()) return Fail("unexpected characters after the text");
      value->type = REG_SZ;
      value->data.assign(text.begin(), text.end());
      value->data.push_back(0);
      return true;
    }
    if (StartsWithNoCase(data, "dword:")) {
      uint32_t v;
      if (!ParseHex32(TrimBlanks(data.substr(6)), &v)) return Fail("bad dword value");
      value->type = REG_DWORD;
      value->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                     static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
      return true;
    }
    if (StartsWithNoCase(data, "hex")) {
      std::string_view after = data.substr(3);
      uint32_t type = REG_BINARY;
      if (!after.empty() && after.front() == '(') {
        const size_t close = after.find(')');
        if (close == std::string_view::npos || !ParseHex32(after.substr(1, close - 1), &type)) {
          return Fail("bad hex(N) type");
        }
        after = after.substr(close + 1);
      }
      if (after.empty() || after.front() != ':') return Fail("expected ':' after hex");
      std::string list(TrimBlanks(after.substr(1)));
      // A trailing backslash continues the list on the next line.
      while (!list.empty() && list.back() == '\\') {
        list.pop_back();
        std::string_view next;
        if (!NextLine(&next)) return Fail("hex data continued past the end of the file");
        list.append(TrimBlanks(next));
      }
      if (!ParseHexBytes(list, &value->data)) return Fail("bad hex data");
      value->type = type;
      if (out_->unicode && IsWideText(type)) value->data = Utf16LeBytesToUtf8(value->data);
      return true;
    }
    return Fail("unknown value form");
  }

  std::string_view text_;
  RegFile* out_;
  RegParseError* error_;
  size_t pos_ = 0;
  int line_no_ = 0;
};

void AppendQuoted(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

// True when the data reads back from the "text" form unchanged: bytes
// without NUL, CR or LF, followed by exactly one NUL. The quoted form keeps
// bytes as they are, so text that is not UTF-8 (a Latin-1 value written by
// another tool) keeps its bytes too.
bool IsPlainText(const std::vector<uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == '\0' || data[i] == '\r' || data[i] == '\n') return false;
  }
  return true;
}

// True when a value must be written in the wide (UTF-16LE) hex form of a
// version-5.00 file and its bytes are not UTF-8: that form cannot hold them.
bool NeedsNarrowFile(const RegFileValue& value) {
  if (value.remove || !IsWideText(value.type)) return false;
  if (value.type == REG_SZ && IsPlainText(value.data)) return false;
  std::u16string ignored;
  return !Utf8ToUtf16Strict(
      std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size()),
      &ignored);
}

void AppendHexList(const std::vector<uint8_t>& bytes, size_t column, std::string* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    out->push_back(kDigits[bytes[i] >> 4]);
    out->push_back(kDigits[bytes[i] & 0xF]);
    column += 2;
    if (i + 1 < bytes.size()) {
      out->push_back(',');
      ++column;
      if (column > 76) {
        out->append("\\\n  ");
        column = 2;
      }
    }
  }
}

void AppendValue(const RegFileValue& value, bool unicode, std::string* out) {
  const size_t line_start = out->size();
  if (value.name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(value.name, out);
  }
  out->push_back('=');
  if (value.remove) {
    out->append("-\n");
    return;
  }
  if (value.type == REG_SZ && IsPlainText(value.data)) {
    AppendQuoted(
        std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1),
        out);
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    char buffer[16];
    const uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                       (static_cast<uint32_t>(value.data[3]) << 24);
    std::snprintf(buffer, sizeof(buffer), "dword:%08x", v);
    out->append(buffer);
  } else {
    if (value.type == REG_BINARY) {
      out->append("hex:");
    } else {
      char buffer[24];
      std::snprintf(buffer, sizeof(buffer), "hex(%x):", value.type);
      out->append(buffer);
    }
    const bool wide = unicode && IsWideText(value.type);
    AppendHexList(wide ? Utf8ToUtf16LeBytes(value.data) : value.data, out->size() - line_start,
                  out);
  }
  out->push_back('\n');
}

}  // namespace

bool ParseRegFile(std::string_view bytes, RegFile* out, RegParseError* error) {
  const std::string text = DecodeFileText(bytes);
  Parser parser(text, out, error);
  return parser.Run();
}

std::string SerializeRegFile(const RegFile& file) {
  // Version 5.00, unless a text value holds bytes that UTF-16 cannot carry:
  // then REGEDIT4, whose hex texts are the bytes as they are, so that no
  // value changes because another one was written.
  bool unicode = true;
  for (const RegFileKey& key : file.keys) {
    for (const RegFileValue& value : key.values) unicode = unicode && !NeedsNarrowFile(value);
  }
  std::string out(unicode ? kHeader5 : kHeader4);
  out.append("\n\n");
  for (const RegFileKey& key : file.keys) {
    out.push_back('[');
    if (key.remove) out.push_back('-');
    out.append(key.path);
    out.append("]\n");
    for (const RegFileValue& value : key.values) AppendValue(value, unicode, &out);
    out.push_back('\n');
  }
  return out;
}

bool SplitHiveRoot(std::string_view path, RegHive* hive, std::string_view* rest) {
  const size_t sep = path.find('\\');
  const std::string_view root = path.substr(0, sep);
  if (EqualsNoCase(root, "HKEY_LOCAL_MACHINE") || EqualsNoCase(root, "HKLM")) {
    *hive = RegHive::LocalMachine;
  } else if (EqualsNoCase(root, "HKEY_CURRENT_USER") || EqualsNoCase(root, "HKCU")) {
    *hive = RegHive::CurrentUser;
  } else {
    return false;
  }
  *rest = sep == std::string_view::npos ? std::string_view() : path.substr(sep + 1);
  return true;
}

const char* HiveRootName(RegHive hive) {
  return hive == RegHive::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

}  // namespace qrn::platform
