// A large security data set for benchmarks: about 20 MiB of documents.
//
//   10,000 secured objects "AppNN.GroupNN.ObjectNN" (20 applications x 25
//   groups x 20 objects); 2,000 roles "RoleNNNN" whose users ("DOM\userN",
//   drawn from 50,000) and groups ("DOM\groupN", from 5,000) number up to
//   2,000: every 50th role has 2,000 users and 2,000 groups, the others a few
//   hundred users and up to a hundred groups; an ACL for every object naming
//   four roles.
//
// MakeLargeData renders the qrnsecd data file and, beside it, the three
// documents exactly as qrnsecd sends them, so a cache folder can be written
// directly (WriteLargeCacheFolder) without a server. Header-only: the
// benchmarks link the library only.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qrnauth/qrnauthorize.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"

namespace qrn::bench {

struct LargeDataShape {
  int applications = 20;
  int groups_per_application = 25;
  int objects_per_group = 20;
  int roles = 2000;
  int max_members = 2000;
  int big_role_every = 50;  // these roles have max_members users and groups
  int user_population = 50000;
  int group_population = 5000;
  int roles_per_acl = 4;
};

struct LargeData {
  std::string json;                       // the qrnsecd data file
  std::string timestamp = "12/01/2026 10:00:00 AM";     // its "timestamp"
  std::string applications, roles, acls;  // the documents qrnsecd renders
  std::vector<std::string> object_keys;   // in document order
  std::vector<std::string> role_names;
  size_t members = 0;  // user and group members of all roles
};

namespace large_data_detail {

inline std::string Guid(unsigned kind, unsigned n) {
  char text[48];
  std::snprintf(text, sizeof text, "{%08X-0000-4000-8000-%012X}", kind, n);
  return text;
}

inline std::string Numbered(const char* format, int n) {
  char text[64];
  std::snprintf(text, sizeof text, format, n);
  return text;
}

inline void Element(std::string* out, const char* tag, const std::string& text) {
  *out += '<';
  *out += tag;
  *out += '>';
  *out += text;  // the generated texts hold nothing to escape
  *out += "</";
  *out += tag;
  *out += '>';
}

inline void JsonList(std::string* out, const std::vector<std::string>& names) {
  *out += '[';
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) *out += ", ";
    *out += '"';
    for (char c : names[i]) {
      if (c == '\\') *out += '\\';
      *out += c;
    }
    *out += '"';
  }
  *out += ']';
}

inline std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) text += ';';
    text += names[i];
  }
  return text;
}

}  // namespace large_data_detail

inline LargeData MakeLargeData(const LargeDataShape& shape = {}) {
  using namespace large_data_detail;
  LargeData data;
  std::string& json = data.json;
  json = "{\"format\": 1, \"timestamp\": \"" + data.timestamp + "\", \"applications\": [";
  std::string& apps = data.applications;
  apps = "<DOCUMENT><QRNAPPLS>";
  unsigned group_id = 0, object_id = 0;
  for (int a = 0; a < shape.applications; ++a) {
    const std::string app_name = Numbered("App%02d", a);
    json += a ? ", " : "";
    json += "{\"name\": \"" + app_name + "\", \"id\": \"" + Guid(1, a) + "\", \"groups\": [";
    apps += "<APPL>";
    Element(&apps, "APPLNAME", app_name);
    Element(&apps, "APPLID", Guid(1, a));
    Element(&apps, "GROUPCOUNT", std::to_string(shape.groups_per_application));
    Element(&apps, "APPLDESC", "");
    Element(&apps, "APPLFLAGS", "0");
    for (int g = 0; g < shape.groups_per_application; ++g, ++group_id) {
      const std::string group_name = app_name + Numbered(".Group%02d", g);
      const std::string tag = "SECGROUP" + std::to_string(g + 1);
      json += g ? ", " : "";
      json += "{\"name\": \"" + group_name + "\", \"id\": \"" + Guid(2, group_id) +
              "\", \"objects\": [";
      apps += "<" + tag + ">";
      Element(&apps, "GROUPID", Guid(2, group_id));
      Element(&apps, "GROUPNAME", group_name);
      Element(&apps, "SECOBJECTCOUNT", std::to_string(shape.objects_per_group));
      Element(&apps, "GROUPDESC", "");
      for (int o = 0; o < shape.objects_per_group; ++o, ++object_id) {
        const std::string key = group_name + Numbered(".Object%02d", o);
        data.object_keys.push_back(key);
        json += o ? ", " : "";
        json += "{\"name\": \"" + key + "\", \"id\": \"" + Guid(3, object_id) + "\"}";
        apps += "<SECOBJECT>";
        Element(&apps, "SECOBJID", Guid(3, object_id));
        Element(&apps, "SECOBJNAME", key);
        apps += "</SECOBJECT>";
      }
      json += "]}";
      apps += "</" + tag + ">";
    }
    json += "]}";
    apps += "</APPL>";
  }
  Element(&apps, "APPLCOUNT", std::to_string(shape.applications));
  apps += "</QRNAPPLS></DOCUMENT>";

  json += "], \"roles\": [";
  std::string& roles = data.roles;
  roles = "<DOCUMENT><QRNROLES>";
  for (int r = 0; r < shape.roles; ++r) {
    const bool big = r % shape.big_role_every == 0;
    const int users = big ? shape.max_members : 1 + (r * 7919) % 800;
    const int groups = big ? shape.max_members : 1 + (r * 104729) % 100;
    std::vector<std::string> user_names, group_names;
    // Strides prime to the populations keep the names of a role distinct.
    for (int j = 0; j < users; ++j)
      user_names.push_back(Numbered("DOM\\user%d", (r * 131 + j * 17) % shape.user_population));
    for (int j = 0; j < groups; ++j)
      group_names.push_back(Numbered("DOM\\group%d", (r * 31 + j * 7) % shape.group_population));
    data.members += user_names.size() + group_names.size();
    const std::string name = Numbered("Role%04d", r);
    data.role_names.push_back(name);
    json += r ? ", " : "";
    json += "{\"id\": \"" + Guid(4, r) + "\", \"name\": \"" + name + "\", \"groups\": ";
    JsonList(&json, group_names);
    json += ", \"users\": ";
    JsonList(&json, user_names);
    json += "}";
    roles += "<ROLE>";
    Element(&roles, "ROLEID", Guid(4, r));
    Element(&roles, "ROLENAME", name);
    Element(&roles, "ROLEDESC", "");
    Element(&roles, "ROLEGROUPS", EncryptString(Joined(group_names)));
    Element(&roles, "ROLEUSERS", EncryptString(Joined(user_names)));
    roles += "</ROLE>";
  }
  Element(&roles, "ROLECOUNT", std::to_string(shape.roles));
  roles += "</QRNROLES></DOCUMENT>";

  // qrnsecd sends the ACLs sorted by key; the keys are generated in order.
  json += "], \"acls\": {";
  std::string& acls = data.acls;
  acls = "<DOCUMENT><QRNACLS>";
  static const char* const kMasks[] = {"7", "1", "-1", "3", "12", "255"};
  for (size_t o = 0; o < data.object_keys.size(); ++o) {
    std::string acl;
    for (int k = 0; k < shape.roles_per_acl; ++k) {
      if (k) acl += ';';
      acl += data.role_names[(o * 37 + static_cast<size_t>(k) * 401) % data.role_names.size()];
      acl += ':';
      acl += kMasks[(o + static_cast<size_t>(k)) % 6];
    }
    json += o ? ", " : "";
    json += "\"" + data.object_keys[o] + "\": \"" + acl + "\"";
    acls += "<ACL KEY=\"" + data.object_keys[o] + "\">" + EncryptString(acl) + "</ACL>";
  }
  Element(&acls, "ACLCOUNT", std::to_string(data.object_keys.size()));
  acls += "</QRNACLS></DOCUMENT>";
  json += "}}";
  return data;
}

// A private configuration for a benchmark process: a fresh folder under
// $TMPDIR (or /tmp) holding the machine and user hives (the machine hive
// naming url as the security server) and serving as TMPDIR, hence as the
// cache folder. Call before the first library call; returns the folder with
// a trailing '/', or empty on failure. The folder (about 30 MiB once a cache
// is written) is removed when the process exits normally.
inline std::string PrepareBenchEnvironment(const std::string& url) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  if (base.back() != '/') base += '/';
  std::string pattern = base + "qrnauth-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::string();
  const std::string folder = pattern + "/";
  const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
  std::ofstream(folder + "machine.reg", std::ios::binary)
      << header << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n\"URL\"=\"" << url << "\"\r\n";
  std::ofstream(folder + "user.reg", std::ios::binary) << header;
  setenv("QRNAUTH_MACHINE_HIVE", (folder + "machine.reg").c_str(), 1);
  setenv("QRNAUTH_USER_HIVE", (folder + "user.reg").c_str(), 1);
  setenv("TMPDIR", folder.c_str(), 1);
  static std::vector<std::string> made;
  if (made.empty())
    std::atexit([] {
      std::error_code ignored;
      for (const std::string& path : made) std::filesystem::remove_all(path, ignored);
    });
  made.push_back(folder);
  return folder;
}

// Writes the three cache files into folder (GetCachePath's folder, with its
// trailing '/') and the timestamp file with the validation hash through
// SetCacheTime, so the folder then reads as a valid cache. The configured URL
// must be set.
inline bool WriteLargeCacheFolder(const LargeData& data, const std::string& folder) {
  return SUCCEEDED(
             QrnEncryptBufferAndPersistInFile(data.applications, folder + kApplicationCacheFile)) &&
         SUCCEEDED(QrnEncryptBufferAndPersistInFile(data.roles, folder + kRoleCacheFile)) &&
         SUCCEEDED(QrnEncryptBufferAndPersistInFile(data.acls, folder + kAclCacheFile)) &&
         SUCCEEDED(CQRNAuthorize::SetCacheTime(data.timestamp.c_str()));
}

}  // namespace qrn::bench
