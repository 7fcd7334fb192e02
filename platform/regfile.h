// The ".reg" text format: parsing and writing.
//
// Read: a header line "Windows Registry Editor Version 5.00" (wide texts of
// hex(1)/hex(2)/hex(7) are UTF-16LE; the file itself may be UTF-8 or UTF-16LE
// with a byte-order mark) or "REGEDIT4" (those texts are narrow bytes);
// "[KEY]" and "[-KEY]" sections; "name"= and @= values in the forms "text",
// dword:xxxxxxxx, hex:.. and hex(N):.. (continued over lines with a trailing
// backslash), and =- for deletion; ';' comment lines; CRLF or LF line ends.
//
// Texts held in a RegFile are UTF-8: a "text" value becomes REG_SZ data of
// the UTF-8 bytes plus one NUL, and wide hex(1)/hex(2)/hex(7) data is
// converted from UTF-16LE to UTF-8 bytes (NUL units become NUL bytes, so
// terminators are kept exactly; an unpaired surrogate becomes U+FFFD).
//
// Written: version 5.00, UTF-8, LF line ends, sections in the order given.
// The plain "text" and dword: forms are used only when they read back to the
// very same type and bytes (a REG_SZ that is not UTF-8 keeps its bytes in
// the "text" form); anything else is written as hex(N):. When a text value
// of another form holds bytes that are not UTF-8 (UTF-16 cannot carry them),
// the file is written as REGEDIT4 instead, so that every value reads back
// byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace qrn::platform {

struct RegFileValue {
  std::string name;     // "" is the default value (@)
  bool remove = false;  // "name"=-
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
};

struct RegFileKey {
  std::string path;     // as written, root included: "HKEY_LOCAL_MACHINE\SOFTWARE\X"
  bool remove = false;  // [-path]
  std::vector<RegFileValue> values;
  int line = 0;  // line of the section header (0 when built in memory)
};

struct RegFile {
  bool unicode = true;  // version 5.00 (false: REGEDIT4)
  std::vector<RegFileKey> keys;
};

struct RegParseError {
  int line = 0;
  std::string message;
};

// Parses a whole file. An empty file (or one holding only white space) is a
// valid file without keys. On error returns false, fills *error and leaves
// *out in an unspecified state.
bool ParseRegFile(std::string_view bytes, RegFile* out, RegParseError* error);

std::string SerializeRegFile(const RegFile& file);

// Splits "HKEY_LOCAL_MACHINE\rest" / "HKLM\rest" / "HKEY_CURRENT_USER\rest" /
// "HKCU\rest" (any letter case; the root alone gives an empty rest). False
// for any other root.
bool SplitHiveRoot(std::string_view path, RegHive* hive, std::string_view* rest);

// The long root name of a hive: "HKEY_LOCAL_MACHINE" / "HKEY_CURRENT_USER".
const char* HiveRootName(RegHive hive);

}  // namespace qrn::platform
