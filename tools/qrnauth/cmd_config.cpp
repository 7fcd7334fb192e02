// qrnauth config show | get | set | import: the effective configuration and
// the raw values of the two hives.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "command.h"
#include "qrnauth/admin.h"

namespace {

using qrn::cli::Arguments;
using qrn::cli::CommandError;
using qrn::cli::UsageError;
using qrn::admin::Hive;

const char* OnOff(bool flag) { return flag ? "on" : "off"; }

// ---- config show -----------------------------------------------------------

int ConfigShow(Arguments& args) {
  args.Finish();
  const qrn::admin::EffectiveConfig config = qrn::admin::ReadEffectiveConfig();

  std::cout << "url: " << config.url << "\n"
            << "cache-folder: " << config.cache_folder << "\n"
            << "event-logging: " << OnOff(config.event_logging) << "\n"
            << "novell-client: " << OnOff(config.novell_client) << "\n"
            << "server-adsi: " << OnOff(config.server_adsi) << "\n"
            << "nt-group-support: " << OnOff(config.nt_group_support) << "\n"
            << "source-domains: " << config.source_domains << "\n"
            << "web-server: " << OnOff(config.web_server) << "\n"
            << "role-cache-age: " << config.role_cache_age << "\n"
            << "group-backup-age: " << config.group_backup_age << "\n"
            << "audit-selector: " << config.audit_selector << "\n"
            << "diagnostic-log: " << OnOff(config.diagnostic_log) << "\n";
  return qrn::cli::kExitOk;
}

// ---- raw values --------------------------------------------------------------

struct KeyName {
  Hive hive;
  std::string path;  // below the hive root
};

bool StripPrefix(const std::string& text, std::string_view prefix, std::string* rest) {
  if (text.size() < prefix.size() ||
      !qrn::admin::EqualsNoCase(std::string_view(text).substr(0, prefix.size()), prefix)) {
    return false;
  }
  *rest = text.substr(prefix.size());
  return true;
}

KeyName ParseKey(const std::string& text) {
  KeyName key;
  if (StripPrefix(text, "HKLM\\", &key.path) ||
      StripPrefix(text, "HKEY_LOCAL_MACHINE\\", &key.path)) {
    key.hive = Hive::kMachine;
  } else if (StripPrefix(text, "HKCU\\", &key.path) ||
             StripPrefix(text, "HKEY_CURRENT_USER\\", &key.path)) {
    key.hive = Hive::kUser;
  } else {
    throw UsageError("bad KEY '" + text + "': it must begin with HKLM\\ or HKCU\\");
  }
  if (key.path.empty()) throw UsageError("bad KEY '" + text + "': no key below the hive");
  return key;
}

// "@" names the default value of a key.
std::string ValueName(const std::string& text) { return text == "@" ? std::string() : text; }

std::string TypeName(uint32_t type) {
  switch (type) {
    case qrn::admin::kRegNone:
      return "REG_NONE";
    case qrn::admin::kRegSz:
      return "REG_SZ";
    case qrn::admin::kRegExpandSz:
      return "REG_EXPAND_SZ";
    case qrn::admin::kRegBinary:
      return "REG_BINARY";
    case qrn::admin::kRegDword:
      return "REG_DWORD";
    case qrn::admin::kRegMultiSz:
      return "REG_MULTI_SZ";
    case qrn::admin::kRegQword:
      return "REG_QWORD";
    default:
      return "hex(" + std::to_string(type) + ")";
  }
}

std::string HexBytes(const std::vector<uint8_t>& data) {
  std::string text = "hex:";
  char byte[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(byte, sizeof byte, i ? ",%02x" : "%02x", data[i]);
    text += byte;
  }
  return text;
}

// Prints "data:" lines in the form the library reads the value, and a note
// when the library would treat the value as absent.
void PrintData(uint32_t type, const std::vector<uint8_t>& data) {
  using namespace qrn::admin;
  const char* bytes = reinterpret_cast<const char*>(data.data());
  if ((type == kRegSz || type == kRegExpandSz) && (data.empty() || data.back() == 0)) {
    std::cout << "data: " << (data.empty() ? "" : bytes) << "\n";
  } else if (type == kRegMultiSz && (data.empty() || (data.size() >= 2 && data.back() == 0 &&
                                                       data[data.size() - 2] == 0))) {
    for (size_t at = 0; at + 1 < data.size() && bytes[at] != '\0';) {
      std::string item(bytes + at);
      std::cout << "data: " << item << "\n";
      at += item.size() + 1;
    }
  } else if (type == kRegDword && data.size() == 4) {
    uint32_t value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                     static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", value);
    std::cout << "data: " << value << " (" << hex << ")\n";
  } else {
    std::cout << "data: " << HexBytes(data) << "\n";
    if (type == kRegSz || type == kRegExpandSz || type == kRegMultiSz || type == kRegDword) {
      std::cout << "note: malformed " << TypeName(type)
                << " (terminator or size): the library reads it as absent\n";
    }
  }
}

int ConfigGet(Arguments& args) {
  std::string key_text = args.Next("KEY");
  std::string name = args.Next("VALUE");
  args.Finish();
  KeyName key = ParseKey(key_text);
  // A hive that cannot be read answers like one without keys; that is not
  // "not set", so it is an error here.
  const std::string unreadable = qrn::admin::HiveReadError(key.hive);
  if (!unreadable.empty()) throw CommandError("cannot read the hive file " + unreadable);
  qrn::admin::RegistryValue value;
  const long result = qrn::admin::ReadRegistryValue(key.hive, key.path, ValueName(name), &value);
  if (result == qrn::admin::kRegKeyNotFound) {
    std::cerr << "qrnauth config get: no value '" << name << "': there is no key " << key_text
              << "\n";
    return qrn::cli::kExitNo;
  }
  if (result != qrn::admin::kRegOk) {
    std::cerr << "qrnauth config get: no value '" << name << "' under " << key_text << "\n";
    return qrn::cli::kExitNo;
  }
  std::cout << "type: " << TypeName(value.type) << "\n";
  PrintData(value.type, value.data);
  return qrn::cli::kExitOk;
}

uint32_t ParseDword(const std::string& text) {
  const std::string bad = "bad REG_DWORD data '" + text +
                          "': give a decimal number or 0x and hex digits, at most 0xFFFFFFFF";
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 10) throw UsageError(bad);
  uint64_t value = 0;
  for (char c : digits) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      throw UsageError(bad);
    }
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
  }
  if (value > 0xFFFFFFFFull) throw UsageError(bad);
  return static_cast<uint32_t>(value);
}

void CheckWrite(long result, const KeyName& key, const std::string& key_text) {
  if (result == qrn::admin::kRegOk) return;
  std::string hive = qrn::admin::HivePath(key.hive);
  if (result == qrn::admin::kRegAccessDenied) {
    const std::string unreadable = qrn::admin::HiveReadError(key.hive);
    if (!unreadable.empty()) {
      throw CommandError("cannot write " + key_text + ": cannot read the hive file " + unreadable);
    }
    throw CommandError("cannot write " + key_text + ": access denied (hive file " + hive + ")");
  }
  if (result == qrn::admin::kRegMalformedHive) {
    throw CommandError("cannot write " + key_text + ": hive file " + hive +
                       " is malformed and is left as it is");
  }
  throw CommandError("cannot write " + key_text + ": error " + std::to_string(result));
}

int ConfigSet(Arguments& args) {
  using namespace qrn::admin;
  std::string key_text = args.Next("KEY");
  std::string name = args.Next("VALUE");
  std::string type = args.Next("TYPE");
  KeyName key = ParseKey(key_text);

  std::vector<uint8_t> data;
  uint32_t type_code;
  if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
    type_code = type == "REG_SZ" ? kRegSz : kRegExpandSz;
    std::string text = args.Next("DATA");
    data.assign(text.begin(), text.end());
    data.push_back(0);
  } else if (type == "REG_MULTI_SZ") {
    type_code = kRegMultiSz;
    // Each DATA argument is one item; an item may hold any character but NUL.
    for (const std::string& item : args.Rest()) {
      if (item.empty()) throw UsageError("bad REG_MULTI_SZ item '': items cannot be empty");
      data.insert(data.end(), item.begin(), item.end());
      data.push_back(0);
    }
    if (data.empty()) data.push_back(0);
    data.push_back(0);
  } else if (type == "REG_DWORD") {
    type_code = kRegDword;
    uint32_t value = ParseDword(args.Next("DATA"));
    data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  } else {
    throw UsageError("unknown TYPE '" + type +
                     "': one of REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD");
  }
  args.Finish();

  CheckWrite(qrn::admin::WriteRegistryValue(key.hive, key.path, ValueName(name), {type_code, data}),
             key, key_text);
  return qrn::cli::kExitOk;
}

int ConfigImport(Arguments& args) {
  std::string file = args.Next("FILE");
  args.Finish();
  std::string error;
  long result = qrn::admin::ImportRegFile(file, &error);
  if (result != qrn::admin::kRegOk) {
    throw CommandError("cannot import " + file + ": " +
                       (error.empty() ? "error " + std::to_string(result) : error));
  }
  return qrn::cli::kExitOk;
}

}  // namespace

QRN_CLI_COMMAND("config show", "print the effective configuration",
                "usage: qrnauth config show\n"
                "\n"
                "Prints one \"name: value\" line each for: url, cache-folder, event-logging,\n"
                "novell-client, server-adsi, nt-group-support, source-domains, web-server,\n"
                "role-cache-age, group-backup-age, audit-selector, diagnostic-log.\n"
                "Flags print on/off, ages (minutes) and the audit selector in decimal; url is\n"
                "empty when none can be read. Values are read as the library reads them.\n",
                ConfigShow);

QRN_CLI_COMMAND("config get", "print a registry value's type and data",
                "usage: qrnauth config get KEY VALUE\n"
                "\n"
                "KEY begins with HKLM\\ (machine hive) or HKCU\\ (user hive), e.g.\n"
                "  qrnauth config get 'HKLM\\SOFTWARE\\Korvane\\MVT' URL\n"
                "VALUE \"@\" names the key's default value. Prints \"type: TYPE\" and one\n"
                "\"data: ...\" line (one per item for REG_MULTI_SZ; REG_DWORD in decimal and\n"
                "hex; other data as hex bytes). Exit status 1 when the key or value is not set.\n",
                ConfigGet);

QRN_CLI_COMMAND("config set", "write a registry value",
                "usage: qrnauth config set KEY VALUE TYPE DATA\n"
                "       qrnauth config set KEY VALUE REG_MULTI_SZ [ITEM...]\n"
                "\n"
                "KEY begins with HKLM\\ or HKCU\\; the key is created when missing. VALUE \"@\"\n"
                "names the default value. TYPE and DATA:\n"
                "  REG_SZ, REG_EXPAND_SZ  DATA is the text (not expanded)\n"
                "  REG_MULTI_SZ           every argument after TYPE is one item (items may\n"
                "                         hold ';' and blanks; none may be empty)\n"
                "  REG_DWORD              DATA is decimal or 0x-hex, at most 0xFFFFFFFF\n"
                "Use \"--\" before DATA that begins with \"-\".\n",
                ConfigSet);

QRN_CLI_COMMAND("config import", "import a .reg file into the hives",
                "usage: qrnauth config import FILE.reg\n"
                "\n"
                "Applies every key of FILE (\"Windows Registry Editor Version 5.00\" or\n"
                "REGEDIT4) to the hive its path names (HKEY_LOCAL_MACHINE\\ or\n"
                "HKEY_CURRENT_USER\\). Nothing is written when the file does not parse.\n",
                ConfigImport);
