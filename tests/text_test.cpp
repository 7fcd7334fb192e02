// Text helpers: conversions, trimming, cutting and case-insensitive
// comparison independent of the process locale.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <clocale>

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

}  // namespace
}  // namespace qrn::platform
