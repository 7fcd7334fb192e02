#include "server/documents.h"

#include <unordered_map>

#include "security/common/qrncrypt.h"

namespace qrn::secd {

namespace {

// The old-server date answer starts with 11 characters that clients skip.
constexpr char kDateLeadIn[] = "SERVERTIME:";
static_assert(sizeof(kDateLeadIn) - 1 == 11);

void Element(std::string* out, const char* tag, std::string_view text) {
  *out += '<';
  *out += tag;
  *out += '>';
  *out += XmlEscape(text);
  *out += "</";
  *out += tag;
  *out += '>';
}

std::string Join(const std::vector<std::string>& names) {
  std::string joined;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) joined += ';';
    joined += names[i];
  }
  return joined;
}

std::string ApplicationDocument(const SecurityData& data) {
  std::string doc = "<DOCUMENT><QRNAPPLS>";
  for (const Application& app : data.applications) {
    doc += "<APPL>";
    Element(&doc, "APPLNAME", app.name);
    Element(&doc, "APPLID", app.id);
    Element(&doc, "GROUPCOUNT", std::to_string(app.groups.size()));
    Element(&doc, "APPLDESC", app.description);
    Element(&doc, "APPLFLAGS", "0");
    for (size_t g = 0; g < app.groups.size(); ++g) {
      const SecurityGroup& group = app.groups[g];
      const std::string tag = "SECGROUP" + std::to_string(g + 1);
      doc += "<" + tag + ">";
      Element(&doc, "GROUPID", group.id);
      Element(&doc, "GROUPNAME", group.name);
      Element(&doc, "SECOBJECTCOUNT", std::to_string(group.objects.size()));
      Element(&doc, "GROUPDESC", group.description);
      for (const SecuredObject& object : group.objects) {
        doc += "<SECOBJECT>";
        Element(&doc, "SECOBJID", object.id);
        Element(&doc, "SECOBJNAME", object.name);
        doc += "</SECOBJECT>";
      }
      doc += "</" + tag + ">";
    }
    doc += "</APPL>";
  }
  Element(&doc, "APPLCOUNT", std::to_string(data.applications.size()));
  doc += "</QRNAPPLS></DOCUMENT>";
  return doc;
}

std::string RoleDocument(const SecurityData& data) {
  std::string doc = "<DOCUMENT><QRNROLES>";
  for (const Role& role : data.roles) {
    doc += "<ROLE>";
    Element(&doc, "ROLEID", role.id);
    Element(&doc, "ROLENAME", role.name);
    Element(&doc, "ROLEDESC", role.description);
    Element(&doc, "ROLEGROUPS", EncryptString(Join(role.groups)));
    Element(&doc, "ROLEUSERS", EncryptString(Join(role.users)));
    doc += "</ROLE>";
  }
  Element(&doc, "ROLECOUNT", std::to_string(data.roles.size()));
  doc += "</QRNROLES></DOCUMENT>";
  return doc;
}

std::string AclDocument(const SecurityData& data) {
  // The cipher starts afresh for every text, so equal ACL texts encrypt
  // alike: encrypt each distinct text once (large sites repeat a few ACLs).
  std::unordered_map<std::string, std::string> encrypted;
  std::string doc = "<DOCUMENT><QRNACLS>";
  for (const auto& [key, acl] : data.acls) {
    auto it = encrypted.find(acl);
    if (it == encrypted.end()) it = encrypted.emplace(acl, XmlEscape(EncryptString(acl))).first;
    doc += "<ACL KEY=\"" + XmlEscape(key) + "\">";
    doc += it->second;
    doc += "</ACL>";
  }
  Element(&doc, "ACLCOUNT", std::to_string(data.acls.size()));
  doc += "</QRNACLS></DOCUMENT>";
  return doc;
}

// The client takes each document part from right after "<![CDATA[" to three
// characters before the closing tag, so nothing may stand between them.
void CdataPart(std::string* out, const char* tag, const std::string& document) {
  *out += '<';
  *out += tag;
  *out += "><![CDATA[";
  *out += document;  // escaped throughout, so it never holds "]]>"
  *out += "]]></";
  *out += tag;
  *out += ">\r\n";
}

}  // namespace

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

Documents RenderDocuments(const SecurityData& data, const std::string& timestamp) {
  Documents docs;
  docs.timestamp = timestamp;
  docs.applications = ApplicationDocument(data);
  docs.roles = RoleDocument(data);
  docs.acls = AclDocument(data);

  const std::string level = std::to_string(data.local_groups_level);
  std::string& c = docs.combined;
  c.reserve(docs.applications.size() + docs.roles.size() + docs.acls.size() + 256);
  c += "<LOCALGROUPLEVEL>" + level + "</LOCALGROUPLEVEL>\r\n";
  c += "<SERVERTIMESTAMP>" + timestamp + "</SERVERTIMESTAMP>\r\n";
  CdataPart(&c, "APPLCACHE", docs.applications);
  CdataPart(&c, "ROLECACHE", docs.roles);
  CdataPart(&c, "ACLCACHE", docs.acls);

  docs.old_date = kDateLeadIn + timestamp + ";LocalGroupsLevel:" + level;
  return docs;
}

std::string GroupListAnswer(const std::vector<std::string>& groups) {
  std::string text;
  for (const std::string& group : groups) {
    for (char c : group) text += c == '\\' ? '/' : c;
    text += ';';
  }
  return text;
}

std::string ServerLocalGroupsAnswer(const std::vector<std::string>& groups,
                                    std::string_view domain_groups) {
  std::string text = GroupListAnswer(groups);
  if (!text.empty() && !domain_groups.empty() && domain_groups.back() != ';')
    text.insert(text.begin(), ';');
  return text;
}

}  // namespace qrn::secd
