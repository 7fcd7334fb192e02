#include "server/secdata.h"

#include <cctype>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "platform/text.h"

namespace qrn::secd {

namespace {

using json = nlohmann::json;

// A rule broken by a value of the parsed document; `path` is its JSON path.
struct DataFault : std::runtime_error {
  DataFault(const std::string& path, const std::string& what)
      : std::runtime_error(path + ": " + what) {}
};

// Role texts and member names land in 256-byte fields of the client's
// records, so longer ones would be cut there.
constexpr size_t kMaxRoleText = 255;

bool IsBracedGuid(std::string_view s) {
  if (s.size() != 38 || s.front() != '{' || s.back() != '}') return false;
  for (size_t i = 1; i < 37; ++i) {
    const bool dash = (i == 9 || i == 14 || i == 19 || i == 24);
    if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

const json* Member(const json& obj, const char* name) {
  auto it = obj.find(name);
  return it == obj.end() || it->is_null() ? nullptr : &*it;
}

std::string Text(const json& obj, const char* name, const std::string& path, bool required) {
  const json* v = Member(obj, name);
  const std::string where = path + "." + name;
  if (!v) {
    if (required) throw DataFault(where, "missing");
    return {};
  }
  if (!v->is_string()) throw DataFault(where, "must be a text");
  std::string s = v->get<std::string>();
  if (HasControl(s)) throw DataFault(where, "must not hold control characters");
  return s;
}

std::string Guid(const json& obj, const std::string& path) {
  std::string id = Text(obj, "id", path, true);
  if (!IsBracedGuid(id))
    throw DataFault(path + ".id",
                    "must be a braced GUID such as {01234567-89AB-CDEF-0123-456789ABCDEF}");
  return id;
}

const json& Array(const json& obj, const char* name, const std::string& path) {
  static const json kEmpty = json::array();
  const json* v = Member(obj, name);
  if (!v) return kEmpty;
  if (!v->is_array()) throw DataFault(path + "." + name, "must be an array");
  return *v;
}

void NeedObject(const json& v, const std::string& path) {
  if (!v.is_object()) throw DataFault(path, "must be an object");
}

std::string Index(const std::string& path, size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

// A list of names that the client joins or splits at ";".
std::vector<std::string> NameList(const json& list, const std::string& path, size_t max_len) {
  if (!list.is_array()) throw DataFault(path, "must be an array of texts");
  std::vector<std::string> names;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string where = Index(path, i);
    if (!list[i].is_string()) throw DataFault(where, "must be a text");
    std::string name = list[i].get<std::string>();
    if (name.empty()) throw DataFault(where, "must not be empty");
    if (name.find(';') != std::string::npos) throw DataFault(where, "must not hold ';'");
    if (HasControl(name)) throw DataFault(where, "must not hold control characters");
    if (name.size() > max_len)
      throw DataFault(where, "longer than " + std::to_string(max_len) + " bytes");
    names.push_back(std::move(name));
  }
  return names;
}

std::vector<Application> ReadApplications(const json& root) {
  std::vector<Application> apps;
  const json& list = Array(root, "applications", "$");
  for (size_t a = 0; a < list.size(); ++a) {
    const std::string ap = Index("$.applications", a);
    NeedObject(list[a], ap);
    Application app{Text(list[a], "name", ap, true),
                    Guid(list[a], ap),
                    Text(list[a], "description", ap, false),
                    {}};
    const json& groups = Array(list[a], "groups", ap);
    for (size_t g = 0; g < groups.size(); ++g) {
      const std::string gp = Index(ap + ".groups", g);
      NeedObject(groups[g], gp);
      SecurityGroup group{Text(groups[g], "name", gp, true),
                          Guid(groups[g], gp),
                          Text(groups[g], "description", gp, false),
                          {}};
      const json& objects = Array(groups[g], "objects", gp);
      for (size_t o = 0; o < objects.size(); ++o) {
        const std::string op = Index(gp + ".objects", o);
        NeedObject(objects[o], op);
        group.objects.push_back({Text(objects[o], "name", op, true), Guid(objects[o], op)});
      }
      app.groups.push_back(std::move(group));
    }
    apps.push_back(std::move(app));
  }
  return apps;
}

std::vector<Role> ReadRoles(const json& root) {
  std::vector<Role> roles;
  const json& list = Array(root, "roles", "$");
  for (size_t r = 0; r < list.size(); ++r) {
    const std::string rp = Index("$.roles", r);
    NeedObject(list[r], rp);
    Role role;
    role.id = Guid(list[r], rp);
    role.name = Text(list[r], "name", rp, true);
    role.description = Text(list[r], "description", rp, false);
    // ACL entries are "name:mask" joined by ";": such a name could never match.
    if (role.name.empty() || role.name.find_first_of(";:") != std::string::npos)
      throw DataFault(rp + ".name", "must be non-empty, without ';' or ':'");
    if (role.name.size() > kMaxRoleText || role.description.size() > kMaxRoleText)
      throw DataFault(rp, "name and description must be at most 255 bytes");
    role.groups = NameList(Array(list[r], "groups", rp), rp + ".groups", kMaxRoleText);
    role.users = NameList(Array(list[r], "users", rp), rp + ".users", kMaxRoleText);
    roles.push_back(std::move(role));
  }
  return roles;
}

GroupTable ReadGroupTable(const json& root, const char* name) {
  GroupTable table;
  const json* v = Member(root, name);
  if (!v) return table;
  const std::string path = std::string("$.") + name;
  NeedObject(*v, path);
  for (const auto& [user, groups] : v->items()) {
    const std::string where = path + "[\"" + user + "\"]";
    if (user.empty()) throw DataFault(where, "user name must not be empty");
    const auto slash = user.find('\\');
    std::string key = slash == std::string::npos
                          ? GroupKey("", user)
                          : GroupKey(std::string_view(user).substr(0, slash),
                                     std::string_view(user).substr(slash + 1));
    table[key] = NameList(groups, where, std::string::npos);
  }
  return table;
}

void ReadAll(const json& root, SecurityData* data) {
  NeedObject(root, "$");
  const json* format = Member(root, "format");
  if (!format) throw DataFault("$.format", "missing (this server reads format 1)");
  if (!format->is_number_integer() || format->get<long long>() != 1)
    throw DataFault("$.format", "unsupported format (this server reads format 1)");

  if (const json* level = Member(root, "localGroupsLevel")) {
    if (!level->is_number_integer() || level->get<long long>() < 0 || level->get<long long>() > 9)
      throw DataFault("$.localGroupsLevel", "must be a whole number from 0 to 9");
    data->local_groups_level = level->get<int>();
  }

  data->timestamp = Text(root, "timestamp", "$", false);
  // Any text a server may write as its timestamp ("12/01/2026 10:00:00 AM",
  // with "+", "/", "%", "?" or "#" as well): clients send it back
  // percent-encoded and the query reader decodes it. Refused is only what
  // would break the answers it travels in: markup characters inside the
  // combined answer, ";" which ends it in the old server's date answer,
  // control characters, and the word clients take for an error page.
  for (unsigned char c : data->timestamp) {
    if (c < ' ' || c == 0x7f || std::strchr(";<>&", c))
      throw DataFault("$.timestamp",
                      "must be printable text without control characters or any of ; < > &");
  }
  if (data->timestamp.find("rror") != std::string::npos)
    throw DataFault("$.timestamp", "must not hold the word error");

  data->applications = ReadApplications(root);
  data->roles = ReadRoles(root);

  if (const json* acls = Member(root, "acls")) {
    NeedObject(*acls, "$.acls");
    for (const auto& [key, value] : acls->items()) {
      const std::string where = "$.acls[\"" + key + "\"]";
      if (key.empty() || HasControl(key))
        throw DataFault(where, "key must be non-empty, without control characters");
      if (!value.is_string()) throw DataFault(where, "must be a text");
      data->acls.emplace_back(key, value.get<std::string>());
    }
  }
  data->user_groups = ReadGroupTable(root, "userGroups");
  data->all_user_groups = ReadGroupTable(root, "allUserGroups");
  data->server_local_groups = ReadGroupTable(root, "serverLocalGroups");
}

// 1-based line and column of the byte at `offset`.
std::string Position(std::string_view text, size_t offset) {
  if (offset > text.size()) offset = text.size();
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

std::string GroupKey(std::string_view domain, std::string_view user) {
  if (domain.empty()) return platform::FoldCase(user);
  std::string key(domain);
  key += '\\';
  key += user;
  return platform::FoldCase(key);
}

bool ParseSecurityData(std::string_view text, const std::string& file_name, SecurityData* data,
                       std::string* error) {
  json root;
  try {
    root = json::parse(text.begin(), text.end());
  } catch (const json::parse_error& e) {
    // e.byte is the 1-based offset of the last byte read.
    const size_t at = e.byte > 0 ? e.byte - 1 : 0;
    std::string what = e.what();
    if (auto p = what.find("syntax error"); p != std::string::npos) what = what.substr(p);
    *error = file_name + ": " + Position(text, at) + " (byte " + std::to_string(at) + "): " + what;
    return false;
  } catch (const json::exception& e) {
    // Not a syntax error but still a refusal of the parser, for example a
    // number too large for any number type (out_of_range 406).
    *error = file_name + ": " + e.what();
    return false;
  }
  SecurityData parsed;
  try {
    ReadAll(root, &parsed);
  } catch (const DataFault& e) {
    *error = file_name + ": " + e.what();
    return false;
  } catch (const json::exception& e) {
    *error = file_name + ": " + e.what();
    return false;
  }
  *data = std::move(parsed);
  return true;
}

}  // namespace qrn::secd
