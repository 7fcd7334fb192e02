// qrnsecd answering the request catalogue, checked through the library's own
// readers: the web client, the combined-answer splitter, the XML component
// and the cache text form.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/text.h"
#include "qrnauth/qrnxml.h"
#include "security/common/qrncrypt.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn::test {
namespace {

std::string Fetch(const std::string& url, bool* ok = nullptr) {
  std::string page;
  const bool good = GetWebPage(url, page, false);
  if (ok) *ok = good;
  return std::string(TerminatedText(page));
}

std::string Decrypt(const std::string& text) {
  std::string plain;
  EXPECT_TRUE(DecryptString(text, &plain)) << text;
  return plain;
}

// Owns one COM reference.
template <typename T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
};

struct Bstr {
  explicit Bstr(const std::string& s) {
    const std::u16string w = platform::Utf8ToUtf16(s);
    b = SysAllocStringLen(w.data(), static_cast<unsigned>(w.size()));
  }
  ~Bstr() { SysFreeString(b); }
  BSTR b;
};

std::string Take(BSTR b) {
  std::string s = b ? platform::Utf16ToUtf8(b) : "";
  SysFreeString(b);
  return s;
}

// Reads a document the way the authorizer does: IQrnXml2, elements by
// position and by tag.
class Doc {
 public:
  explicit Doc(const std::string& xml) {
    EXPECT_EQ(CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                               reinterpret_cast<void**>(&xml_.p)),
              S_OK);
    EXPECT_EQ(xml_->put_XmlString(Bstr(xml).b), S_OK) << xml;
  }
  // The element's children, held for the lifetime of this object.
  IXMLElementCollection* Children(IXMLElement* e) {
    auto& r = held_collections_.emplace_back(std::make_unique<Ref<IXMLElementCollection>>());
    EXPECT_EQ(e->get_children(&r->p), S_OK);
    return r->p;
  }
  IXMLElement* Find(const std::string& tag) {
    Ref<IDispatch> d;
    EXPECT_EQ(xml_->FindElement(nullptr, Bstr(tag).b, &d.p), S_OK) << tag;
    return Element(d.p);
  }
  LONG Count(IXMLElement* e) {
    LONG n = -1;
    Children(e)->get_length(&n);
    return n;
  }
  IXMLElement* At(IXMLElement* e, LONG index) {
    VARIANT i, none;
    VariantInit(&i);
    VariantInit(&none);
    i.vt = VT_I4;
    i.lVal = index;
    Ref<IDispatch> d;
    Children(e)->item(i, none, &d.p);
    return Element(d.p);
  }
  std::string TextAt(IXMLElement* e, LONG index) { return Text(At(e, index)); }
  std::string TextOf(IXMLElement* e, const std::string& tag) {
    VARIANT name, none;
    VariantInit(&none);
    name.vt = VT_BSTR;
    Bstr b(tag);
    name.bstrVal = b.b;
    Ref<IDispatch> d;
    Children(e)->item(name, none, &d.p);
    return Text(Element(d.p));
  }
  std::string Text(IXMLElement* e) {
    BSTR t = nullptr;
    if (!e || xml_->GetElementText(e, &t) != S_OK) return "<none>";
    return Take(t);
  }

 private:
  IXMLElement* Element(IDispatch* d) {
    if (!d) return nullptr;
    auto& r = held_.emplace_back(std::make_unique<Ref<IXMLElement>>());
    d->QueryInterface(IID_IXMLElement, reinterpret_cast<void**>(&r->p));
    return r->p;
  }
  Ref<IQrnXml2> xml_;
  std::vector<std::unique_ptr<Ref<IXMLElement>>> held_;
  std::vector<std::unique_ptr<Ref<IXMLElementCollection>>> held_collections_;
};

std::string AclValue(const std::string& acl_document, const std::string& key) {
  Ref<IQrnXml> xml;
  EXPECT_EQ(CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml,
                             reinterpret_cast<void**>(&xml.p)),
            S_OK);
  EXPECT_EQ(xml->put_XmlString(Bstr(acl_document).b), S_OK);
  BSTR value = nullptr;
  xml->LookupValue(Bstr(key).b, &value);
  return Take(value);
}

// Sends raw bytes on a fresh connection and returns the answer (at most 5 s).
std::string RawExchange(int port, const std::string& bytes) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    (void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
      answer.append(buf, static_cast<size_t>(n));
      // Bad requests get a keep-alive answer: stop once it is complete.
      const size_t head = answer.find("\r\n\r\n");
      const size_t length = answer.find("Content-Length: ");
      if (head != std::string::npos && length < head &&
          answer.size() >= head + 4 + std::stoul(answer.substr(length + 16)))
        break;
    }
  }
  close(fd);
  return answer;
}

class SecdTest : public ::testing::Test {
 protected:
  HiveSandbox sandbox_;
};

TEST_F(SecdTest, CombinedAnswerCarriesTheSameDocumentsAsTheSingleRequests) {
  SecdProcess secd(SampleDataPath());
  bool ok = false;
  std::string page;
  ASSERT_TRUE(GetWebPage(CombinedDataRequest(secd.url(), ""), page, false));
  const SecurityDataParts parts = SplitCombinedData(page);
  EXPECT_EQ(parts.local_groups_level, 3);
  EXPECT_EQ(parts.server_timestamp, Fetch(DateTimeRequest(secd.url()), &ok));
  EXPECT_TRUE(ok);
  EXPECT_FALSE(parts.server_timestamp.empty());
  EXPECT_EQ(parts.applications, Fetch(ApplicationsRequest(secd.url())));
  EXPECT_EQ(parts.roles, Fetch(RolesRequest(secd.url())));
  EXPECT_EQ(parts.acls, Fetch(AclRequest(secd.url())));
  EXPECT_TRUE(parts.applications.ends_with("</QRNAPPLS></DOCUMENT>"));

  const OldServerDate old = ParseOldServerDate(Fetch(OldServerDateRequest(secd.url())));
  EXPECT_EQ(old.timestamp, parts.server_timestamp);
  EXPECT_TRUE(old.has_level);
  EXPECT_EQ(old.level, 3);
  EXPECT_TRUE(GetWebPage(BarePageRequest(secd.url()), page, false));
}

TEST_F(SecdTest, ApplicationDocumentReadsByPositionAndByTag) {
  TempDir dir;
  const std::string data = dir.File("data.json");
  WriteDataFile(data, R"({"format": 1, "applications": [
    {"name": "Pay & <Roll>", "id": "{11111111-2222-3333-4444-555555555555}", "groups": [
      {"name": "G\"1'", "id": "{21111111-2222-3333-4444-555555555555}", "objects": []},
      {"name": "G2", "id": "{31111111-2222-3333-4444-555555555555}", "objects": [
        {"name": "O1", "id": "{41111111-2222-3333-4444-555555555555}"},
        {"name": "O2", "id": "{51111111-2222-3333-4444-555555555555}"}]}]},
    {"name": "Second", "id": "{61111111-2222-3333-4444-555555555555}"}]})");
  SecdProcess secd(data);
  Doc doc(Fetch(ApplicationsRequest(secd.url())));
  IXMLElement* appls = doc.Find("QRNAPPLS");
  ASSERT_NE(appls, nullptr);
  ASSERT_EQ(doc.Count(appls), 3);  // two applications and a last non-application child
  IXMLElement* app = doc.At(appls, 0);
  EXPECT_EQ(doc.TextOf(app, "APPLNAME"), "Pay & <Roll>");
  EXPECT_EQ(doc.TextOf(app, "APPLID"), "{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(doc.TextOf(app, "GROUPCOUNT"), "2");
  EXPECT_EQ(doc.TextOf(doc.At(appls, 1), "GROUPCOUNT"), "0");

  IXMLElement* g1 = doc.At(app, 5);
  EXPECT_EQ(doc.TextAt(g1, 1), "G\"1'");
  EXPECT_EQ(doc.TextOf(g1, "GROUPNAME"), "G\"1'");
  EXPECT_EQ(doc.TextOf(g1, "SECOBJECTCOUNT"), "0");
  IXMLElement* g2 = doc.At(app, 6);
  EXPECT_EQ(doc.TextOf(app, "SECGROUP2"), doc.Text(g2));
  EXPECT_EQ(doc.TextAt(g2, 0), "{31111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(doc.TextOf(g2, "GROUPID"), "{31111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(doc.TextOf(g2, "SECOBJECTCOUNT"), "2");
  IXMLElement* o2 = doc.At(g2, 5);
  EXPECT_EQ(doc.TextAt(o2, 0), "{51111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(doc.TextAt(o2, 1), "O2");
  EXPECT_EQ(doc.TextOf(o2, "SECOBJNAME"), "O2");
}

TEST_F(SecdTest, RoleDocumentHasFiveChildrenPerRoleWithEncryptedMembers) {
  SecdProcess secd(SampleDataPath());
  Doc doc(Fetch(RolesRequest(secd.url())));
  IXMLElement* roles = doc.Find("QRNROLES");
  ASSERT_NE(roles, nullptr);
  ASSERT_EQ(doc.Count(roles), 6);  // five roles, then the count
  IXMLElement* operators = doc.At(roles, 1);
  ASSERT_EQ(doc.Count(operators), 5);
  EXPECT_EQ(doc.TextAt(operators, 0), "{FDA4C7A4-52BE-49B1-945D-A878F5A2D501}");
  EXPECT_EQ(doc.TextAt(operators, 1), "Operators");
  EXPECT_EQ(doc.TextAt(operators, 2), "Run the payroll");
  EXPECT_EQ(Decrypt(doc.TextAt(operators, 3)), "SALES\\Operators");
  EXPECT_EQ(Decrypt(doc.TextAt(operators, 4)), "SALES\\bob");
  // A role without user members sends an empty member child.
  IXMLElement* clerks = doc.At(roles, 3);
  EXPECT_EQ(doc.TextAt(clerks, 1), "Clerks");
  EXPECT_EQ(doc.TextAt(clerks, 4), "");
}

TEST_F(SecdTest, AclDocumentAnswersLookupsWithEncryptedAclTexts) {
  TempDir dir;
  const std::string data = dir.File("data.json");
  WriteDataFile(data, R"({"format": 1, "acls": {"Payroll.Monthly": "Operators:7;Guests:1",
                          "A \"quoted\" & <odd> key": "Admins:-1"}})");
  SecdProcess secd(data);
  const std::string acls = Fetch(AclRequest(secd.url()));
  EXPECT_EQ(Decrypt(AclValue(acls, "Payroll.Monthly")), "Operators:7;Guests:1");
  EXPECT_EQ(Decrypt(AclValue(acls, "A \"quoted\" & <odd> key")), "Admins:-1");
  EXPECT_EQ(AclValue(acls, "Missing"), "");
}

TEST_F(SecdTest, GroupListsMatchUserAndDomainWithoutCase) {
  TempDir dir;
  const std::string data = dir.File("data.json");
  WriteDataFile(data, R"({"format": 1,
    "userGroups": {"SALES\\bob": ["SALES/Operators", "SALES\\Staff"], "Dürer": ["X/Y"]},
    "allUserGroups": {"SALES\\bob": ["SALES/All"]},
    "serverLocalGroups": {"sales\\BOB": ["SRV01/Backup Operators"]}})");
  SecdProcess secd(data);
  const std::string& url = secd.url();
  EXPECT_EQ(Fetch(UserGroupsRequest(url, "BOB", "sales")), "SALES/Operators;SALES/Staff;");
  EXPECT_EQ(Fetch(UserGroupsRequest(url, "dÜrer", "")), "X/Y;");
  EXPECT_EQ(Fetch(UserGroupsRequest(url, "nobody", "SALES")), "");
  EXPECT_EQ(Fetch(AllUserGroupsRequest(url, "bob", "SALES")), "SALES/All;");
  // The client glues this answer to its list text without a separator.
  EXPECT_EQ(Fetch(ServerLocalGroupsRequest(url, "bob", "SALES", "Everyone;SALES/Staff;")),
            "SRV01/Backup Operators;");
  EXPECT_EQ(Fetch(ServerLocalGroupsRequest(url, "bob", "SALES", "Everyone;SALES/Staff")),
            ";SRV01/Backup Operators;");
  EXPECT_EQ(Fetch(ServerLocalGroupsRequest(url, "alice", "SALES", "Everyone")), "");
}

TEST_F(SecdTest, AuditRequestsAndRequestLog) {
  SecdProcess secd(SampleDataPath());
  bool ok = false;
  Fetch(AuditLogRequest(secd.url(), "SALES\\bob & co=1", "Authorization", "Failed", "PC17"), &ok);
  EXPECT_TRUE(ok);
  Fetch(RolesRequest(secd.url()));
  const std::string audit = secd.AuditLog();
  ASSERT_EQ(std::count(audit.begin(), audit.end(), '\n'), 1) << audit;
  const auto record = nlohmann::json::parse(audit);
  EXPECT_EQ(record["user"], "SALES\\bob & co=1");
  EXPECT_EQ(record["action"], "Authorization");
  EXPECT_EQ(record["status"], "Failed");
  EXPECT_EQ(record["computer"], "PC17");
  EXPECT_FALSE(record["time"].get<std::string>().empty());
  EXPECT_EQ(secd.RequestLog(),
            "Object=Log&Operation=Add&User=SALES%5Cbob%20%26%20co%3D1&Action=Authorization"
            "&Status=Failed&Computer=PC17\nObject=Role&Operation=Get\n");
}

TEST_F(SecdTest, OldServerAnswersTheCombinedRequestWithAnEmptyPage) {
  SecdProcess secd(SampleDataPath(), {"--old-server"});
  std::string page;
  EXPECT_TRUE(GetWebPage(CombinedDataRequest(secd.url(), "x"), page, false));
  EXPECT_EQ(page, "");
  EXPECT_TRUE(ParseOldServerDate(Fetch(OldServerDateRequest(secd.url()))).has_level);
}

TEST_F(SecdTest, UnknownRequestsAndOtherPathsAreErrorPages) {
  SecdProcess secd(SampleDataPath());
  bool ok = true;
  const std::string page = Fetch(secd.url() + "?Object=Nothing&Operation=Get", &ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(page.find("error"), std::string::npos);
  const std::string base = secd.url().substr(0, secd.url().find("/mvt/"));
  std::string other;
  EXPECT_FALSE(GetWebPage(base + "/other.aspx?Object=Role&Operation=Get", other, false));
  const std::string raw = RawExchange(secd.port(),
                                      "GET /index.html HTTP/1.1\r\nHost: x\r\n"
                                      "Connection: close\r\n\r\n");
  EXPECT_EQ(raw.rfind("HTTP/1.1 404", 0), 0u) << raw;
  // Only requests to the security page are logged.
  EXPECT_EQ(secd.RequestLog(), "Object=Nothing&Operation=Get\n");
}

TEST_F(SecdTest, DataFileChangesAreServedWithoutRestart) {
  TempDir dir;
  const std::string data = dir.File("data.json");
  WriteDataFile(data, R"({"format": 1, "acls": {"K": "A:1"}})");
  SecdProcess secd(data);
  const std::string first = Fetch(DateTimeRequest(secd.url()));

  WriteDataFile(data, R"({"format": 1, "acls": {"K": "B:2"}})");  // same size
  const std::string second = Fetch(DateTimeRequest(secd.url()));
  EXPECT_NE(second, first);
  EXPECT_EQ(Decrypt(AclValue(Fetch(AclRequest(secd.url())), "K")), "B:2");

  // A broken edit keeps the last good data in service and says why.
  WriteDataFile(data, "{\"format\": 1,\n \"acls\": {\"K\": }}");
  EXPECT_EQ(Fetch(DateTimeRequest(secd.url())), second);
  EXPECT_EQ(Decrypt(AclValue(Fetch(AclRequest(secd.url())), "K")), "B:2");
  EXPECT_NE(secd.Stderr().find("line 2, column 16"), std::string::npos) << secd.Stderr();

  // So does one the parser refuses past its syntax: a number too large for
  // any number type (the server used to die of the parser's exception).
  WriteDataFile(data, R"({"format": 1, "acls": {"K": "A:1"}, "n": 8888888E8888888888})");
  EXPECT_EQ(Fetch(DateTimeRequest(secd.url())), second);
  EXPECT_EQ(Decrypt(AclValue(Fetch(AclRequest(secd.url())), "K")), "B:2");
  EXPECT_NE(secd.Stderr().find("number overflow"), std::string::npos) << secd.Stderr();

  WriteDataFile(data, R"({"format": 1, "timestamp": "v3", "acls": {"K": "C:4"}})");
  EXPECT_EQ(Fetch(DateTimeRequest(secd.url())), "v3");
  EXPECT_EQ(Decrypt(AclValue(Fetch(AclRequest(secd.url())), "K")), "C:4");
}

TEST_F(SecdTest, TimestampsAreServedAsARealServerWritesThem) {
  TempDir dir;
  const std::string data = dir.File("data.json");
  const std::string stamp = "12/01/2026 10:00:00 AM +01:00 #3 50%?";
  WriteDataFile(data, R"({"format": 1, "timestamp": ")" + stamp + "\"}");
  SecdProcess secd(data);
  EXPECT_EQ(Fetch(DateTimeRequest(secd.url())), stamp);
  EXPECT_NE(Fetch(CombinedDataRequest(secd.url(), stamp)).find("<SERVERTIMESTAMP>" + stamp + "<"),
            std::string::npos);

  // Without one, the data file's own timestamp has the same shape.
  WriteDataFile(data, R"({"format": 1})");
  const std::string derived = Fetch(DateTimeRequest(secd.url()));
  EXPECT_EQ(derived.find_first_of("<>&;"), std::string::npos) << derived;
  EXPECT_EQ(derived[2], '/') << derived;
  EXPECT_NE(derived.find(" AM +"), derived.find(" PM +")) << derived;
}

TEST_F(SecdTest, MalformedDataAtStartExitsWithTheFileAndPosition) {
  TempDir dir;
  const std::string data = dir.File("bad.json");
  const auto run = [&](const std::string& text) {
    WriteDataFile(data, text);
    return RunProcess({ServerPath(), "--data", data, "--listen", "127.0.0.1:0"}, {}, "", 20);
  };
  ProcessResult r = run("{\"format\": 1,\n  \"roles\": [,]}");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find(data + ": line 2, column 13"), std::string::npos) << r.err;

  r = run(R"({"format": 1, "roles": [{"id": "{bad}", "name": "R"}]})");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("$.roles[0].id"), std::string::npos) << r.err;

  // A timestamp may be any date text a server writes, but not markup, ";"
  // (it ends the old server's date answer) or the word clients take for an
  // error page.
  for (const char* stamp : {"12/9/2026 <4:00> PM", "12/9/2026; 4:00 PM", "Error 12/9/2026"}) {
    r = run(std::string(R"({"format": 1, "timestamp": ")") + stamp + "\"}");
    EXPECT_EQ(r.exit_code, 2) << stamp;
    EXPECT_NE(r.err.find("$.timestamp"), std::string::npos) << r.err;
  }

  r = run(R"({"format": 1, "n": 1E99999})");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("number overflow"), std::string::npos) << r.err;

  r = run(R"({"format": 2})");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("$.format"), std::string::npos) << r.err;

  r = RunProcess({ServerPath(), "--data", dir.File("missing.json")}, {}, "", 20);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("missing.json"), std::string::npos) << r.err;
}

// A FIFO would block the open (or the read) for ever, /dev/zero never ends,
// a sparse file is huge: none is read, at start or while serving.
TEST_F(SecdTest, DataFilesThatAreNoRegularFileOrTooLargeAreRefused) {
  TempDir dir;
  const std::string data = dir.File("data.json");
  const std::string fifo = dir.File("fifo"), zero = dir.File("zero"), sparse = dir.File("sparse");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  {
    const int fd = open(sparse.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(ftruncate(fd, (64LL << 20) + 1), 0);
    close(fd);
  }
  for (const std::string& path : {fifo, zero, sparse}) {
    const ProcessResult r = RunProcess({ServerPath(), "--data", path}, {}, "", 20);
    EXPECT_EQ(r.exit_code, 2) << path;
    EXPECT_NE(r.err.find(path + ": "), std::string::npos) << r.err;
  }
  // Nor are the logs opened on a FIFO (or through a link).
  for (const char* log : {"--request-log", "--audit-log"}) {
    for (const std::string& path : {fifo, zero}) {
      const ProcessResult r =
          RunProcess({ServerPath(), "--data", SampleDataPath(), log, path}, {}, "", 20);
      EXPECT_EQ(r.exit_code, 2) << log << " " << path;
      EXPECT_NE(r.err.find(path + ": "), std::string::npos) << r.err;
    }
  }

  WriteDataFile(data, R"({"format": 1, "timestamp": "good", "acls": {"K": "A:1"}})");
  SecdProcess secd(data);
  for (const std::string& path : {fifo, zero, sparse}) {
    // Put in place of the data file the way an editor would.
    const std::string link = dir.File("swap");
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    ASSERT_EQ(rename(link.c_str(), data.c_str()), 0);
    bool ok = false;
    EXPECT_EQ(Fetch(DateTimeRequest(secd.url()), &ok), "good") << path;
    EXPECT_TRUE(ok);
  }
  EXPECT_NE(secd.Stderr().find("not a regular file"), std::string::npos) << secd.Stderr();
  EXPECT_NE(secd.Stderr().find("larger than 64 MiB"), std::string::npos) << secd.Stderr();
}

TEST_F(SecdTest, GarbageRequestsDoNotStopTheServer) {
  SecdProcess secd(SampleDataPath());
  EXPECT_EQ(RawExchange(secd.port(), std::string("\x00\xff\x01 garbage\r\n\r\n", 16))
                .rfind("HTTP/1.1 400", 0),
            0u);
  RawExchange(secd.port(), "GET\r\n\r\n");
  RawExchange(secd.port(), "GET /mvt/security.aspx HTTP/1.1\r\nX-Big: " +
                               std::string(64 * 1024, 'a') + "\r\n\r\n");
  RawExchange(secd.port(),
              "GET /mvt/security.aspx?%zz=%&Object=%G0&%%%% HTTP/1.1\r\n"
              "Host: x\r\nConnection: close\r\n\r\n");
  RawExchange(secd.port(),
              "GET /mvt/security.aspx?Object=Role&Operation=Get HTTP/1.1\r\n"
              "Content-Length: 99999999999999999999\r\n\r\n");
  bool ok = false;
  EXPECT_TRUE(Fetch(RolesRequest(secd.url()), &ok).ends_with("</DOCUMENT>"));
  EXPECT_TRUE(ok);
  EXPECT_EQ(secd.Stop(), 0);  // SIGTERM ends it cleanly
}

}  // namespace
}  // namespace qrn::test
