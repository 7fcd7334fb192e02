// Text helpers: conversions, trimming, cutting and case-insensitive
// comparison independent of the process locale.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace qrn::platform {
namespace {

TEST(TextTest, Utf8AndUtf16RoundTripIncludingSurrogatePairs) {
  const std::string text = "A\xc3\xbc\xe3\x80\x80\xf0\x9f\x98\x80z";  // A ü U+3000 U+1F600 z
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'A', 0x00FC, 0x3000, 0xD83D, 0xDE00, u'z'}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  std::u16string strict_wide;
  std::string strict_narrow;
  EXPECT_TRUE(Utf8ToUtf16Strict(text, &strict_wide));
  EXPECT_TRUE(Utf16ToUtf8Strict(wide, &strict_narrow));
  EXPECT_EQ(strict_narrow, text);
  EXPECT_EQ(Utf8ToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(TextTest, InvalidInputBecomesReplacementOrFailsStrictly) {
  const std::u16string fffd(1, 0xFFFD);
  const struct {
    std::string in;
    std::u16string out;
  } narrow_cases[] = {
      {"\xff", fffd},
      {"a\x80", u"a" + fffd},
      {"\xc0\xaf", fffd + fffd},                        // overlong '/'
      {"\xed\xa0\x80", fffd + fffd + fffd},             // encoded surrogate
      {"\xe3\x80", fffd + fffd},                        // truncated
      {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},  // beyond U+10FFFF
  };
  for (const auto& c : narrow_cases) {
    EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.in;
    std::u16string out = u"kept";
    EXPECT_FALSE(Utf8ToUtf16Strict(c.in, &out));
    EXPECT_EQ(out, u"kept");
  }
  const std::u16string lone_high{u'a', 0xD800};
  const std::u16string lone_low{0xDC00, u'b'};
  EXPECT_EQ(Utf16ToUtf8(lone_high), "a\xef\xbf\xbd");
  EXPECT_EQ(Utf16ToUtf8(lone_low),
            "\xef\xbf\xbd"
            "b");
  std::string out = "kept";
  EXPECT_FALSE(Utf16ToUtf8Strict(lone_high, &out));
  EXPECT_FALSE(Utf16ToUtf8Strict(std::u16string{0xDBFF, 0xDBFF}, &out));
  EXPECT_EQ(out, "kept");
}

TEST(TextTest, TrimWhiteRemovesAsciiAndUnicodeBlanks) {
  EXPECT_EQ(TrimWhite(" \t\r\n\v\fD:\\Cache \t"), "D:\\Cache");
  EXPECT_EQ(TrimWhite("\xe3\x80\x80"
                      "abc\xc2\xa0\xe3\x80\x80"),
            "abc");
  EXPECT_EQ(TrimWhite("a \xe3\x80\x80 b"), "a \xe3\x80\x80 b");
  EXPECT_EQ(TrimWhite(" \xe3\x80\x80 "), "");
  // A stray byte is not white space and stops the trimming.
  EXPECT_EQ(TrimWhite(" \x80 "), "\x80");
  EXPECT_EQ(TrimWhite("x\xa0"), "x\xa0");  // a lone continuation byte is not U+00A0
}

TEST(TextTest, CutAtCharBoundaryNeverSplitsASequence) {
  const std::string text = "ab\xc3\xbc\xf0\x9f\x98\x80";  // 2 + 2 + 4 bytes
  EXPECT_EQ(CutAtCharBoundary(text, 100), text);
  EXPECT_EQ(CutAtCharBoundary(text, 8), text);
  EXPECT_EQ(CutAtCharBoundary(text, 7), "ab\xc3\xbc");
  EXPECT_EQ(CutAtCharBoundary(text, 4), "ab\xc3\xbc");
  EXPECT_EQ(CutAtCharBoundary(text, 3), "ab");
  EXPECT_EQ(CutAtCharBoundary(text, 0), "");
  EXPECT_EQ(CutAtCharBoundary("a\xff\xfe", 2), "a\xff");  // invalid bytes count singly
}

TEST(TextTest, CaseFoldingIgnoresTheProcessLocale) {
  std::setlocale(LC_ALL, "C");
  EXPECT_TRUE(EqualsNoCase("M\xc3\x9cLLER", "m\xc3\xbcller"));
  EXPECT_EQ(FoldCase("M\xc3\x9cLLER"), FoldCase("m\xc3\xbcller"));
  EXPECT_TRUE(EqualsNoCase("\xce\xa3\xce\x9f\xce\xa6\xce\x99\xce\x91",
                           "\xcf\x83\xce\xbf\xcf\x86\xce\xb9\xce\xb1"));              // Greek
  EXPECT_TRUE(EqualsNoCase("\xd0\x9f\xd0\xa0\xd0\x98", "\xd0\xbf\xd1\x80\xd0\xb8"));  // Cyrillic
  EXPECT_TRUE(EqualsNoCase("SOFTWARE\\Korvane", "software\\KORVANE"));
  EXPECT_FALSE(EqualsNoCase("m\xc3\xbcller", "muller"));
  EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
  // Invalid UTF-8 compares bytewise: equal only to itself.
  EXPECT_TRUE(EqualsNoCase("A\xff", "a\xff"));
  EXPECT_FALSE(EqualsNoCase("\xff", "\xfe"));
  EXPECT_FALSE(EqualsNoCase("\xc3", "\xc3\xbc"));

  EXPECT_LT(CompareNoCase("apple", "BANANA"), 0);
  EXPECT_GT(CompareNoCase("Zed", "alpha"), 0);
  EXPECT_EQ(CompareNoCase("\xc3\x84rger", "\xc3\xa4RGER"), 0);
  EXPECT_LT(CompareNoCase("ab", "ABC"), 0);
}

std::string Utf8Of(char32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// The C and S rows of the character database's CaseFolding.txt, read here
// independently of the build's generator.
std::map<char32_t, char32_t> SimpleFoldingRows() {
  std::map<char32_t, char32_t> rows;
  std::ifstream file(QRNAUTH_CASE_FOLDING_FILE);
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    unsigned from = 0;
    unsigned to = 0;
    char status = 0;
    if (std::sscanf(line.c_str(), "%x; %c; %x;", &from, &status, &to) != 3) continue;
    if (status == 'C' || status == 'S') rows[from] = to;
  }
  return rows;
}

// Every code point folds as the file says, and every one it does not list
// (the Turkic rows included) folds to itself; a wrong or extra folding of
// any code point fails.
TEST(TextTest, FoldingIsExactlyTheSimpleFoldingOfTheCharacterDatabase) {
  const std::map<char32_t, char32_t> rows = SimpleFoldingRows();
  ASSERT_GT(rows.size(), 1400u) << QRNAUTH_CASE_FOLDING_FILE;
  size_t wrong = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const auto row = rows.find(cp);
    const std::string expected = Utf8Of(row != rows.end() ? row->second : cp);
    const std::string folded = FoldCase(Utf8Of(cp));
    if (folded != expected && ++wrong <= 10)
      ADD_FAILURE() << std::hex << "U+" << static_cast<uint32_t>(cp) << " folds wrongly";
  }
  EXPECT_EQ(wrong, 0u);
  // Both sides of each row compare equal, in a name too.
  for (const auto& [from, to] : rows) {
    ASSERT_TRUE(EqualsNoCase("SALES\\" + Utf8Of(from) + "x", "sales\\" + Utf8Of(to) + "X"))
        << std::hex << static_cast<uint32_t>(from);
  }
}

TEST(TextTest, LookAlikeLettersStayDistinct) {
  // The dotless i and the dotted capital I are no case form of "i".
  EXPECT_FALSE(EqualsNoCase("SALES\\adm\xc4\xb1n", "SALES\\admin"));
  EXPECT_FALSE(EqualsNoCase("SALES\\adm\xc4\xb0n", "SALES\\admin"));
  EXPECT_FALSE(EqualsNoCase("SALES\\adm\xc4\xb1n", "SALES\\adm\xc4\xb0n"));
  EXPECT_NE(FoldCase("adm\xc4\xb1n"), FoldCase("admin"));
  // DZ with caron in its three forms, the Kelvin sign, the capital sharp s.
  EXPECT_TRUE(EqualsNoCase("\xc7\x84", "\xc7\x85"));
  EXPECT_TRUE(EqualsNoCase("\xc7\x85", "\xc7\x86"));
  EXPECT_TRUE(EqualsNoCase("\xe2\x84\xaa", "k"));
  EXPECT_TRUE(EqualsNoCase("STRA\xe1\xba\x9e" "E", "stra\xc3\x9f" "e"));
  EXPECT_TRUE(EqualsNoCase("\xce\xa3", "\xcf\x82"));  // final sigma
  EXPECT_NE(CompareNoCase("adm\xc4\xb1n", "admin"), 0);
}

}  // namespace
}  // namespace qrn::platform
