// One pass over the document text: markup is recognised only as far as the
// checks need it (comments, processing instructions, CDATA sections, the
// document type declaration, start and end tags with their attributes).
#include "platform/xml_document_check.h"

#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

namespace qrn::platform {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Up to this many attributes in one tag are compared pairwise; beyond it a
// hash set keeps a tag of very many attributes linear.
constexpr size_t kPairwiseAttributes = 16;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsXmlChar(uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// The text between "&" and ";": a predefined entity or a character
// reference to an allowed character.
bool IsKnownReference(std::string_view name) {
  if (name == "lt" || name == "gt" || name == "amp" || name == "quot" || name == "apos")
    return true;
  if (name.size() < 2 || name[0] != '#') return false;
  const bool hex = name[1] == 'x';
  const std::string_view digits = name.substr(hex ? 2 : 1);
  if (digits.empty()) return false;
  uint32_t value = 0;
  for (const char c : digits) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0x10FFFF) return false;  // also keeps the sum from wrapping
  }
  return IsXmlChar(value);
}

// Every "&" of a run of character data (text content or an attribute value)
// starts a known reference that ends inside the run.
bool ReferencesAreKnown(std::string_view run) {
  size_t at = run.find('&');
  while (at != std::string_view::npos) {
    const size_t semicolon = run.find(';', at + 1);
    if (semicolon == std::string_view::npos) return false;
    if (!IsKnownReference(run.substr(at + 1, semicolon - at - 1))) return false;
    at = run.find('&', semicolon + 1);
  }
  return true;
}

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool Run() {
    if (text_.substr(0, kByteOrderMark.size()) == kByteOrderMark) pos_ = kByteOrderMark.size();
    while (pos_ < text_.size()) {
      size_t lt = text_.find('<', pos_);
      if (lt == std::string_view::npos) lt = text_.size();
      if (!CharacterData(text_.substr(pos_, lt - pos_))) return false;
      pos_ = lt;
      if (pos_ < text_.size() && !Markup()) return false;
    }
    return root_seen_ && depth_ == 0;
  }

 private:
  bool Starts(std::string_view prefix) const {
    return text_.compare(pos_, prefix.size(), prefix) == 0;
  }

  // Moves past the first "end" at or after from; false when there is none.
  bool SkipPast(size_t from, std::string_view end) {
    const size_t at = text_.find(end, from);
    if (at == std::string_view::npos) return false;
    pos_ = at + end.size();
    return true;
  }

  bool CharacterData(std::string_view run) const {
    if (depth_ > 0) return ReferencesAreKnown(run);
    for (const char c : run)
      if (!IsBlank(c)) return false;  // text before or after the root element
    return true;
  }

  bool Markup() {
    if (Starts("<!--")) return SkipPast(pos_ + 4, "-->");
    if (Starts("<?")) return SkipPast(pos_ + 2, "?>");
    if (Starts("<![CDATA[")) return depth_ > 0 && SkipPast(pos_ + 9, "]]>");
    if (Starts("<!DOCTYPE")) return DocumentType();
    if (Starts("<!")) return false;
    if (Starts("</")) {
      if (depth_ == 0) return false;
      --depth_;
      return SkipPast(pos_ + 2, ">");
    }
    return StartTag();
  }

  // Once, before the root element; an internal subset in "[...]" may hold
  // quoted literals, comments and processing instructions with "]" or ">"
  // in them.
  bool DocumentType() {
    if (depth_ > 0 || root_seen_ || doctype_seen_) return false;
    doctype_seen_ = true;
    size_t i = pos_ + 9;
    bool in_subset = false;
    while (i < text_.size()) {
      const char c = text_[i];
      if (c == '"' || c == '\'') {
        const size_t close = text_.find(c, i + 1);
        if (close == std::string_view::npos) return false;
        i = close + 1;
      } else if (in_subset && text_.compare(i, 4, "<!--") == 0) {
        const size_t close = text_.find("-->", i + 4);
        if (close == std::string_view::npos) return false;
        i = close + 3;
      } else if (in_subset && text_.compare(i, 2, "<?") == 0) {
        const size_t close = text_.find("?>", i + 2);
        if (close == std::string_view::npos) return false;
        i = close + 2;
      } else if (c == '[' && !in_subset) {
        in_subset = true;
        ++i;
      } else if (c == ']' && in_subset) {
        in_subset = false;
        ++i;
      } else if (c == '>' && !in_subset) {
        pos_ = i + 1;
        return true;
      } else {
        ++i;
      }
    }
    return false;
  }

  bool StartTag() {
    if (depth_ == 0) {
      if (root_seen_) return false;  // a second root element
      root_seen_ = true;
    }
    size_t i = pos_ + 1;
    const size_t name_start = i;
    while (i < text_.size() && !IsBlank(text_[i]) && text_[i] != '/' && text_[i] != '>') ++i;
    if (i == name_start) return false;
    names_.clear();
    // A set left large by an earlier tag is dropped, not cleared bucket by
    // bucket on every tag.
    if (!seen_.empty()) seen_ = {};
    while (true) {
      while (i < text_.size() && IsBlank(text_[i])) ++i;
      if (i >= text_.size()) return false;
      if (text_[i] == '>') {
        ++depth_;
        pos_ = i + 1;
        return true;
      }
      if (text_[i] == '/') {
        if (i + 1 >= text_.size() || text_[i + 1] != '>') return false;
        pos_ = i + 2;
        return true;
      }
      const size_t attr_start = i;
      while (i < text_.size() && !IsBlank(text_[i]) && text_[i] != '=' && text_[i] != '>' &&
             text_[i] != '/')
        ++i;
      const std::string_view name = text_.substr(attr_start, i - attr_start);
      if (name.empty() || !NewAttribute(name)) return false;
      while (i < text_.size() && IsBlank(text_[i])) ++i;
      if (i >= text_.size() || text_[i] != '=') return false;
      ++i;
      while (i < text_.size() && IsBlank(text_[i])) ++i;
      if (i >= text_.size() || (text_[i] != '"' && text_[i] != '\'')) return false;
      const size_t close = text_.find(text_[i], i + 1);
      if (close == std::string_view::npos) return false;
      if (!ReferencesAreKnown(text_.substr(i + 1, close - i - 1))) return false;
      i = close + 1;
    }
  }

  // False when the current tag named the attribute before.
  bool NewAttribute(std::string_view name) {
    if (names_.size() < kPairwiseAttributes) {
      for (const std::string_view earlier : names_)
        if (earlier == name) return false;
      names_.push_back(name);
      return true;
    }
    if (seen_.empty()) seen_.insert(names_.begin(), names_.end());
    return seen_.insert(name).second;
  }

  std::string_view text_;
  size_t pos_ = 0;
  size_t depth_ = 0;
  bool root_seen_ = false;
  bool doctype_seen_ = false;
  std::vector<std::string_view> names_;
  std::unordered_set<std::string_view> seen_;
};

}  // namespace

bool IsOneWellFormedDocument(std::string_view text) {
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  return Scanner(text).Run();
}

}  // namespace qrn::platform
