// UTF-8 / UTF-16 conversion, trimming and case folding without any
// dependence on the process locale: folding is the simple case folding of
// the Unicode Character Database (the C and S rows of CaseFolding.txt),
// compiled in from the file the build machine ships.
#include "platform/text.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace qrn::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at text[*pos]. On success returns true, sets
// *cp and advances *pos. On invalid input (stray byte, overlong form,
// surrogate, beyond U+10FFFF, truncated) returns false and advances *pos by
// one byte.
bool DecodeUtf8(std::string_view text, size_t* pos, char32_t* cp) {
  const size_t i = *pos;
  const auto b0 = static_cast<uint8_t>(text[i]);
  if (b0 < 0x80) {
    *cp = b0;
    *pos = i + 1;
    return true;
  }
  size_t len;
  char32_t value;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, value = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, value = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, value = b0 & 0x07, min = 0x10000;
  } else {
    *pos = i + 1;
    return false;
  }
  if (i + len > text.size()) {
    *pos = i + 1;
    return false;
  }
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<uint8_t>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      *pos = i + 1;
      return false;
    }
    value = (value << 6) | (b & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    *pos = i + 1;
    return false;
  }
  *cp = value;
  *pos = i + len;
  return true;
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(char32_t cp, std::u16string* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Decodes one UTF-16 unit or pair; false on an unpaired surrogate (one unit
// consumed).
bool DecodeUtf16(std::u16string_view text, size_t* pos, char32_t* cp) {
  const char16_t u = text[*pos];
  if (u < 0xD800 || u > 0xDFFF) {
    *cp = u;
    ++*pos;
    return true;
  }
  if (u <= 0xDBFF && *pos + 1 < text.size()) {
    const char16_t v = text[*pos + 1];
    if (v >= 0xDC00 && v <= 0xDFFF) {
      *cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (v - 0xDC00);
      *pos += 2;
      return true;
    }
  }
  ++*pos;
  return false;
}

bool IsUnicodeWhite(char32_t cp) {
  switch (cp) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

// The simple case folding as a two-stage table: the code point's block of
// 128 selects one of the blocks that hold a folding (block 0 holds none),
// and the block gives the folded code point, or 0 for "folds to itself".
struct FoldRow {
  char32_t from;
  char32_t to;
};

constexpr FoldRow kFoldRows[] = {
#include "platform/case_folding_rows.inc"
};

constexpr unsigned kBlockBits = 7;
constexpr size_t kBlockSize = size_t{1} << kBlockBits;

constexpr char32_t FoldLimit() {
  char32_t limit = 0;
  for (const FoldRow& row : kFoldRows) limit = row.from >= limit ? row.from + 1 : limit;
  return limit;
}
constexpr char32_t kFoldLimit = FoldLimit();  // code points from here fold to themselves
constexpr size_t kStageOneSize = ((kFoldLimit - 1) >> kBlockBits) + 1;

constexpr size_t FoldBlockCount() {
  std::array<bool, kStageOneSize> used{};
  size_t count = 1;  // block 0: nothing folds
  for (const FoldRow& row : kFoldRows) {
    bool& seen = used[row.from >> kBlockBits];
    if (!seen) ++count;
    seen = true;
  }
  return count;
}

struct FoldTable {
  std::array<uint16_t, kStageOneSize> block_of{};
  std::array<std::array<char32_t, kBlockSize>, FoldBlockCount()> blocks{};
};

constexpr FoldTable MakeFoldTable() {
  FoldTable table;
  uint16_t next = 1;
  for (const FoldRow& row : kFoldRows) {
    uint16_t& block = table.block_of[row.from >> kBlockBits];
    if (block == 0) block = next++;
    table.blocks[block][row.from & (kBlockSize - 1)] = row.to;
  }
  return table;
}

constexpr FoldTable kFoldTable = MakeFoldTable();

char32_t FoldChar(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  if (cp >= kFoldLimit) return cp;
  const char32_t folded = kFoldTable.blocks[kFoldTable.block_of[cp >> kBlockBits]][cp & (kBlockSize - 1)];
  return folded != 0 ? folded : cp;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp;
    if (!DecodeUtf8(text, &pos, &cp)) cp = kReplacement;
    AppendUtf16(cp, &out);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3 / 2);
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp;
    if (!DecodeUtf16(text, &pos, &cp)) cp = kReplacement;
    AppendUtf8(cp, &out);
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  const char* data = text.data();
  const size_t n = text.size();
  size_t pos = 0;
  while (pos < n) {
    // Eight ASCII bytes at a time while no high bit is set.
    while (pos + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, data + pos, sizeof word);
      if (word & 0x8080808080808080ull) break;
      pos += 8;
    }
    if (pos >= n) break;
    if (static_cast<uint8_t>(data[pos]) < 0x80) {
      ++pos;
      continue;
    }
    char32_t cp;
    if (!DecodeUtf8(text, &pos, &cp)) return false;
  }
  return true;
}

bool Utf8ToUtf16Strict(std::string_view text, std::u16string* out) {
  std::u16string result;
  result.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp;
    if (!DecodeUtf8(text, &pos, &cp)) return false;
    AppendUtf16(cp, &result);
  }
  *out = std::move(result);
  return true;
}

bool Utf16ToUtf8Strict(std::u16string_view text, std::string* out) {
  std::string result;
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp;
    if (!DecodeUtf16(text, &pos, &cp)) return false;
    AppendUtf8(cp, &result);
  }
  *out = std::move(result);
  return true;
}

std::string_view TrimWhite(std::string_view text) {
  // Leading: decode forward.
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = begin;
    char32_t cp;
    if (!DecodeUtf8(text, &next, &cp) || !IsUnicodeWhite(cp)) break;
    begin = next;
  }
  // Trailing: find the start of the last sequence and test it.
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    size_t next = start;
    char32_t cp;
    if (!DecodeUtf8(text, &next, &cp) || next != end || !IsUnicodeWhite(cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string_view CutAtCharBoundary(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  // Walk whole sequences; an invalid byte counts as one character.
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = pos;
    char32_t cp;
    DecodeUtf8(text, &next, &cp);
    if (next > max_bytes) break;
    pos = next;
  }
  return text.substr(0, pos);
}

void FoldCaseInto(std::string_view text, std::string* out) {
  // ASCII fast path: fold in place while the text is ASCII.
  out->assign(text);
  size_t pos = 0;
  for (; pos < out->size(); ++pos) {
    const auto b = static_cast<uint8_t>((*out)[pos]);
    if (b >= 0x80) break;
    if (b >= 'A' && b <= 'Z') (*out)[pos] = static_cast<char>(b + 32);
  }
  if (pos == out->size()) return;
  out->resize(pos);
  while (pos < text.size()) {
    const auto b = static_cast<uint8_t>(text[pos]);
    if (b < 0x80) {
      out->push_back(static_cast<char>((b >= 'A' && b <= 'Z') ? b + 32 : b));
      ++pos;
      continue;
    }
    const size_t start = pos;
    char32_t cp;
    if (!DecodeUtf8(text, &pos, &cp)) {
      out->push_back(text[start]);  // not UTF-8: kept as it is
      continue;
    }
    AppendUtf8(FoldChar(cp), out);
  }
}

std::string FoldCase(std::string_view text) {
  std::string out;
  FoldCaseInto(text, &out);
  return out;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  // ASCII fast path: compare byte by byte while both sides are ASCII.
  size_t i = 0;
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (; i < n; ++i) {
    auto x = static_cast<uint8_t>(a[i]);
    auto y = static_cast<uint8_t>(b[i]);
    if ((x | y) & 0x80) break;
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y) return x < y ? -1 : 1;
  }
  if (i == n) {
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
  }
  const std::string fa = FoldCase(a.substr(i));
  const std::string fb = FoldCase(b.substr(i));
  const int c = fa.compare(fb);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return CompareNoCase(a, b) == 0; }

}  // namespace qrn::platform
