// qrnauth config show | get | set | import: the effective configuration and
// the raw values of the two hives.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "frame/config.h"
#include "frame/diagnostic_log.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "tools/qrnauth/command.h"

namespace {

using qrn::cli::Arguments;
using qrn::cli::CommandError;
using qrn::cli::UsageError;
using qrn::platform::RegHive;
using qrn::platform::RegistryKey;

// Buffers as the library's callers size them.
constexpr uint32_t kPathBuffer = 260;

const char* OnOff(bool flag) { return flag ? "on" : "off"; }

// ---- config show -----------------------------------------------------------

int ConfigShow(Arguments& args) {
  args.Finish();
  char url[kPathBuffer];
  uint32_t url_size = sizeof url;
  if (FAILED(qrn::GetAuthUrl(url, &url_size))) url[0] = '\0';
  char folder[kPathBuffer];
  uint32_t folder_size = sizeof folder;
  if (FAILED(qrn::GetCachePath(folder, &folder_size))) folder[0] = '\0';
  bool novell = false, web_server = false;
  qrn::MvtIsNovellClient(&novell);
  qrn::QrnIsWebServer(&web_server);
  qrn::ReadRoleCacheAge();
  qrn::ReadGroupBackupAge();
  const qrn::ConfigState config = qrn::ConfigSnapshot();

  std::cout << "url: " << url << "\n"
            << "cache-folder: " << folder << "\n"
            << "event-logging: " << OnOff(qrn::EventLoggingEnabled()) << "\n"
            << "novell-client: " << OnOff(novell) << "\n"
            << "server-adsi: " << OnOff(config.server_adsi) << "\n"
            << "nt-group-support: " << OnOff(config.nt_group_support) << "\n"
            << "source-domains: " << config.source_domains << "\n"
            << "web-server: " << OnOff(web_server) << "\n"
            << "role-cache-age: " << config.role_cache_age << "\n"
            << "group-backup-age: " << config.group_backup_age << "\n"
            << "audit-selector: " << config.audit_selector << "\n"
            << "diagnostic-log: " << OnOff(qrn::MvtLogEnabled()) << "\n";
  return qrn::cli::kExitOk;
}

// ---- raw values --------------------------------------------------------------

struct KeyName {
  RegHive hive;
  std::string path;  // below the hive root
};

bool StripPrefix(const std::string& text, std::string_view prefix, std::string* rest) {
  if (text.size() < prefix.size() ||
      !qrn::platform::EqualsNoCase(std::string_view(text).substr(0, prefix.size()), prefix)) {
    return false;
  }
  *rest = text.substr(prefix.size());
  return true;
}

KeyName ParseKey(const std::string& text) {
  KeyName key;
  if (StripPrefix(text, "HKLM\\", &key.path) ||
      StripPrefix(text, "HKEY_LOCAL_MACHINE\\", &key.path)) {
    key.hive = RegHive::LocalMachine;
  } else if (StripPrefix(text, "HKCU\\", &key.path) ||
             StripPrefix(text, "HKEY_CURRENT_USER\\", &key.path)) {
    key.hive = RegHive::CurrentUser;
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
    case qrn::platform::REG_NONE:
      return "REG_NONE";
    case qrn::platform::REG_SZ:
      return "REG_SZ";
    case qrn::platform::REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case qrn::platform::REG_BINARY:
      return "REG_BINARY";
    case qrn::platform::REG_DWORD:
      return "REG_DWORD";
    case qrn::platform::REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case qrn::platform::REG_QWORD:
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
  using namespace qrn::platform;
  const char* bytes = reinterpret_cast<const char*>(data.data());
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && (data.empty() || data.back() == 0)) {
    std::cout << "data: " << (data.empty() ? "" : bytes) << "\n";
  } else if (type == REG_MULTI_SZ && (data.empty() || (data.size() >= 2 && data.back() == 0 &&
                                                       data[data.size() - 2] == 0))) {
    for (size_t at = 0; at + 1 < data.size() && bytes[at] != '\0';) {
      std::string item(bytes + at);
      std::cout << "data: " << item << "\n";
      at += item.size() + 1;
    }
  } else if (type == REG_DWORD && data.size() == 4) {
    uint32_t value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                     static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", value);
    std::cout << "data: " << value << " (" << hex << ")\n";
  } else {
    std::cout << "data: " << HexBytes(data) << "\n";
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ || type == REG_DWORD) {
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
  RegistryKey opened;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  // A hive that cannot be read answers like one without keys; that is not
  // "not set", so it is an error here.
  const std::string unreadable = qrn::platform::HiveReadError(key.hive);
  if (!unreadable.empty()) throw CommandError("cannot read the hive file " + unreadable);
  if (opened.Open(key.hive, key.path) != qrn::platform::ERROR_SUCCESS) {
    std::cerr << "qrnauth config get: no value '" << name << "': there is no key " << key_text
              << "\n";
    return qrn::cli::kExitNo;
  }
  if (opened.QueryRaw(ValueName(name), &type, &data) != qrn::platform::ERROR_SUCCESS) {
    std::cerr << "qrnauth config get: no value '" << name << "' under " << key_text << "\n";
    return qrn::cli::kExitNo;
  }
  std::cout << "type: " << TypeName(type) << "\n";
  PrintData(type, data);
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
  if (result == qrn::platform::ERROR_SUCCESS) return;
  std::string hive = qrn::platform::HivePath(key.hive);
  if (result == qrn::platform::ERROR_ACCESS_DENIED) {
    const std::string unreadable = qrn::platform::HiveReadError(key.hive);
    if (!unreadable.empty()) {
      throw CommandError("cannot write " + key_text + ": cannot read the hive file " + unreadable);
    }
    throw CommandError("cannot write " + key_text + ": access denied (hive file " + hive + ")");
  }
  if (result == qrn::platform::ERROR_BADDB) {
    throw CommandError("cannot write " + key_text + ": hive file " + hive +
                       " is malformed and is left as it is");
  }
  throw CommandError("cannot write " + key_text + ": error " + std::to_string(result));
}

int ConfigSet(Arguments& args) {
  using namespace qrn::platform;
  std::string key_text = args.Next("KEY");
  std::string name = args.Next("VALUE");
  std::string type = args.Next("TYPE");
  KeyName key = ParseKey(key_text);

  std::vector<uint8_t> data;
  uint32_t type_code;
  if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
    type_code = type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    std::string text = args.Next("DATA");
    data.assign(text.begin(), text.end());
    data.push_back(0);
  } else if (type == "REG_MULTI_SZ") {
    type_code = REG_MULTI_SZ;
    // Each DATA argument is one item; an item may hold any character but NUL.
    for (const std::string& item : args.Rest()) {
      if (item.empty()) throw UsageError("bad REG_MULTI_SZ item '': items cannot be empty");
      data.insert(data.end(), item.begin(), item.end());
      data.push_back(0);
    }
    if (data.empty()) data.push_back(0);
    data.push_back(0);
  } else if (type == "REG_DWORD") {
    type_code = REG_DWORD;
    uint32_t value = ParseDword(args.Next("DATA"));
    data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  } else {
    throw UsageError("unknown TYPE '" + type +
                     "': one of REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD");
  }
  args.Finish();

  RegistryKey opened;
  CheckWrite(opened.Create(key.hive, key.path), key, key_text);
  CheckWrite(
      opened.SetRaw(ValueName(name), type_code, data.data(), static_cast<uint32_t>(data.size())),
      key, key_text);
  return qrn::cli::kExitOk;
}

int ConfigImport(Arguments& args) {
  std::string file = args.Next("FILE");
  args.Finish();
  std::string error;
  long result = qrn::platform::ImportRegFile(file, &error);
  if (result != qrn::platform::ERROR_SUCCESS) {
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
