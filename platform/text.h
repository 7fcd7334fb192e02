// Text helpers used everywhere: UTF-8 <-> UTF-16, trimming, cutting at a
// character boundary, and the one case-insensitive comparison (Unicode simple
// case folding of UTF-8 text; bytes that are not valid UTF-8 compare as they
// are). None of these depends on the host's setlocale.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qrn::platform {

// Invalid input (a stray byte, an unpaired surrogate) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Strict forms: false on invalid input, *out unchanged.
bool Utf8ToUtf16Strict(std::string_view text, std::u16string* out);
bool Utf16ToUtf8Strict(std::u16string_view text, std::string* out);
// True when text is valid UTF-8, that is when Utf16ToUtf8(Utf8ToUtf16(text))
// gives text back unchanged. ASCII runs are checked a word at a time.
bool IsValidUtf8(std::string_view text);

// Removes white space (ASCII blanks, tabs, CR, LF, VT, FF and Unicode white
// space such as U+00A0 and U+3000) at both ends.
std::string_view TrimWhite(std::string_view text);

// The longest prefix of text that is at most max_bytes long and does not end
// inside a UTF-8 sequence.
std::string_view CutAtCharBoundary(std::string_view text, size_t max_bytes);

// The one case folding every name comparison and index goes through: the
// Unicode simple case folding, so "MÜLLER" and "müller" fold to the same
// text while the dotless ı and the dotted İ stay apart from "i".
std::string FoldCase(std::string_view text);
// FoldCase into *out, reusing its storage (text must not view *out).
void FoldCaseInto(std::string_view text, std::string* out);
bool EqualsNoCase(std::string_view a, std::string_view b);
// <0, 0, >0 like strcmp, on folded text.
int CompareNoCase(std::string_view a, std::string_view b);

}  // namespace qrn::platform
