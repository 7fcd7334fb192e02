// The role model: role documents served by a real qrnsecd, and documents no
// server sends (wrong child counts, odd member lists, overlong texts) parsed
// by the real XML component and handed in as given objects.
#include "qrnauth/qrnrole.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "frame/trail.h"
#include "platform/text.h"
#include "security/common/qrnauthorize/role_match.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"
#include "security/common/role_records.h"
#include "security/common/server_requests.h"
#include "security/common/web.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

const char kRoleData[] = R"({"format": 1, "roles": [
  {"id": "{4E5899EA-5692-442D-9124-EDEAA4C7C7D2}", "name": "Administrators",
   "description": "Full control", "groups": ["SALES\\Domain Admins"], "users": ["SALES\\admin"]},
  {"id": "{FDA4C7A4-52BE-49B1-945D-A878F5A2D501}", "name": "Operators",
   "groups": ["SALES\\Operators", "GroupA"], "users": ["SALES\\bob", "M\u00dcLLER"]},
  {"id": "{24B717A8-632B-4E01-AD7A-98CDF5D7331F}", "name": "Auditors",
   "groups": [], "users": ["SALES\\alice"]}]})";

// A role element of the given children; member lists are encrypted here.
std::string Role(const std::string& id, const std::string& name, const std::string& groups,
                 const std::string& users) {
  return "<ROLE><ROLEID>" + id + "</ROLEID><ROLENAME>" + name + "</ROLENAME><ROLEDESC/>" +
         "<ROLEGROUPS>" + (groups.empty() ? "" : EncryptString(groups)) + "</ROLEGROUPS>" +
         "<ROLEUSERS>" + (users.empty() ? "" : EncryptString(users)) + "</ROLEUSERS></ROLE>";
}

std::string Document(const std::string& children) {
  return "<DOCUMENT><QRNROLES>" + children + "<ROLECOUNT>0</ROLECOUNT></QRNROLES></DOCUMENT>";
}

// The document parsed by the real component, as a load from the cache file
// hands it over.
IQrnXml2* Parsed(const std::string& xml) {
  IQrnXml2* doc = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_QrnXml, nullptr, CLSCTX_ALL, IID_IQrnXml2,
                             reinterpret_cast<void**>(&doc)),
            S_OK);
  const std::u16string wide = platform::Utf8ToUtf16(xml);
  BSTR text = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
  EXPECT_EQ(doc->put_XmlString(text), S_OK);
  SysFreeString(text);
  return doc;
}

std::vector<std::string> Names(const CQRNRole* role, bool users) {
  std::vector<std::string> names;
  if (users)
    for (const auto* m : role->userMembers) names.push_back(m->memberName);
  else
    for (const auto* m : role->groupMembers) names.push_back(m->memberName);
  return names;
}

class RoleTest : public ::testing::Test {
 protected:
  void StartServer(const char* json = kRoleData) {
    test::WriteDataFile(data_.File("data.json"), json);
    secd_ = std::make_unique<test::SecdProcess>(data_.File("data.json"));
    sandbox_.WriteMachineHive(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n\"URL\"=\"" +
        secd_->url() + "\"\r\n");
  }
  std::string RoleFile() const { return sandbox_.temp_folder() + kRoleCacheFile; }
  // Loads a document of the test's own through the given-object road.
  void LoadGiven(CQRNRoleList* list, const std::string& xml) {
    IQrnXml2* doc = Parsed(xml);
    list->GetRoles(1, doc);
    doc->Release();
  }

  test::HiveSandbox sandbox_;
  test::TempDir data_;
  std::unique_ptr<test::SecdProcess> secd_;
};

TEST_F(RoleTest, FetchedFromServerWhenNoObjectIsGiven) {
  StartServer();
  CQRNRoleList list;
  EXPECT_EQ(list.listFlag, 1);
  EXPECT_STREQ(list.listTimestamp, "1/1/99 12:00:00 PM");
  EXPECT_STREQ(list.cacheFolder, sandbox_.temp_folder().c_str());
  EXPECT_STREQ(list.source.serverUrl, secd_->url().c_str());
  EXPECT_EQ(list.source.sourceKind, 4);
  EXPECT_EQ(list.source.sourceNumber, 389);

  list.GetRoles(1, nullptr);  // the flag set but no object: the server is asked
  ASSERT_EQ(list.roles.size(), 3u);
  const CQRNRole* ops = list.roles[1];
  EXPECT_STREQ(ops->roleId, "{FDA4C7A4-52BE-49B1-945D-A878F5A2D501}");
  EXPECT_STREQ(ops->roleName, "Operators");
  EXPECT_STREQ(list.roles[0]->thirdText, "Full control");
  EXPECT_STREQ(ops->source.serverUrl, secd_->url().c_str());
  EXPECT_EQ(ops->source.sourceKind, 4);
  EXPECT_EQ(Names(ops, false), (std::vector<std::string>{"SALES\\Operators", "GroupA"}));
  EXPECT_EQ(Names(ops, true), (std::vector<std::string>{"SALES\\bob", "M\xC3\x9CLLER"}));
  EXPECT_TRUE(list.roles[2]->groupMembers.empty());

  EXPECT_TRUE(CQRNRoleList::HasGroupMember(ops, "groupa"));
  EXPECT_TRUE(CQRNRoleList::HasGroupMember(ops, "sales\\OPERATORS"));
  EXPECT_TRUE(CQRNRoleList::HasUserMember(ops, "m\xC3\xBCller"));
  EXPECT_FALSE(CQRNRoleList::HasUserMember(ops, "GroupA"));  // users and groups apart
  EXPECT_FALSE(CQRNRoleList::HasGroupMember(ops, "Group"));
  EXPECT_FALSE(CQRNRoleList::HasGroupMember(ops, nullptr));
  EXPECT_FALSE(CQRNRoleList::HasGroupMember(nullptr, "GroupA"));

  // The role file holds the served document, encrypted.
  std::string page;
  ASSERT_TRUE(GetWebPage(RolesRequest(secd_->url()), page, false));
  std::string cached;
  ASSERT_TRUE(DecryptString(test::ReadFile(RoleFile()), &cached));
  EXPECT_EQ(cached, TerminatedText(page));

  // And it loads again from there, the same roles.
  secd_->Stop();
  IQrnXml2* from_file = nullptr;
  ASSERT_EQ(QrnGetXmlPointerFromEncryptedFile(RoleFile(), &from_file), S_OK);
  CQRNRoleList again;
  again.GetRoles(1, from_file);
  from_file->Release();
  ASSERT_EQ(again.roles.size(), 3u);
  EXPECT_STREQ(again.roles[2]->roleName, "Auditors");
  EXPECT_TRUE(CQRNRoleList::HasUserMember(again.roles[2], "SALES\\ALICE"));
}

TEST_F(RoleTest, UnreachableServerLeavesTheListEmpty) {
  StartServer();
  secd_->Stop();
  CQRNRoleList list;
  list.GetRoles(0, nullptr);
  EXPECT_TRUE(list.roles.empty());
  EXPECT_FALSE(std::filesystem::exists(RoleFile()));
}

TEST_F(RoleTest, OnlyFiveChildElementsAreRoles) {
  const std::string four = "<ROLE><A>{1}</A><B>Four</B><C/><D/></ROLE>";
  const std::string six = "<ROLE><A>{2}</A><B>Six</B><C/><D/><E/><F/></ROLE>";
  CQRNRoleList list;
  LoadGiven(&list,
            Document(four + Role("{3}", "First", "", "") + six + Role("{4}", "Second", "G", "U")));
  ASSERT_EQ(list.roles.size(), 2u);
  EXPECT_STREQ(list.roles[0]->roleName, "First");
  EXPECT_STREQ(list.roles[1]->roleName, "Second");
  EXPECT_FALSE(std::filesystem::exists(RoleFile()));  // a given object is not written

  // Three children: the last is never a role, even when it looks like one.
  CQRNRoleList three;
  LoadGiven(&three, "<DOCUMENT><QRNROLES>" + Role("{5}", "A", "", "") + Role("{6}", "B", "", "") +
                        Role("{7}", "C", "", "") + "</QRNROLES></DOCUMENT>");
  ASSERT_EQ(three.roles.size(), 2u);
  EXPECT_STREQ(three.roles[1]->roleName, "B");

  CQRNRoleList none;
  LoadGiven(&none, "<DOCUMENT><OTHER/></DOCUMENT>");
  EXPECT_TRUE(none.roles.empty());
}

TEST_F(RoleTest, MemberListsSplitWithoutEmptyNames) {
  CQRNRoleList list;
  LoadGiven(&list, Document(Role("{1}", "R", ";;GroupA;;GroupB;", "one;two") +
                            Role("{2}", "Empty", "", ";;;") +
                            "<ROLE><A>{3}</A><B>Garbled</B><C/><D>***</D><E>@@@@</E></ROLE>"));
  ASSERT_EQ(list.roles.size(), 3u);
  EXPECT_EQ(Names(list.roles[0], false), (std::vector<std::string>{"GroupA", "GroupB"}));
  EXPECT_EQ(Names(list.roles[0], true), (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(list.roles[1]->groupMembers.empty());
  EXPECT_TRUE(list.roles[1]->userMembers.empty());
  // Lists that do not decrypt give no members.
  EXPECT_TRUE(list.roles[2]->groupMembers.empty());
  EXPECT_TRUE(list.roles[2]->userMembers.empty());
}

TEST_F(RoleTest, OverlongTextsAreCutAtACharacterBoundary) {
  // 2-byte characters: 255 bytes would end inside one, so 254 are kept.
  std::string accents;
  for (int i = 0; i < 150; ++i) accents += "\xC3\xA9";
  CQRNRoleList list;
  LoadGiven(&list, Document(Role("{1}", "x" + accents, accents, std::string(300, 'u'))));
  ASSERT_EQ(list.roles.size(), 1u);
  const CQRNRole* role = list.roles[0];
  EXPECT_EQ(std::strlen(role->roleName), 255u);  // "x" and 127 characters
  EXPECT_EQ(std::string(role->roleName), "x" + accents.substr(0, 254));
  ASSERT_EQ(role->groupMembers.size(), 1u);
  EXPECT_EQ(std::string(role->groupMembers[0]->memberName), accents.substr(0, 254));
  EXPECT_EQ(std::strlen(role->userMembers[0]->memberName), 255u);

  CQRNRoleMemberUser direct(("x" + accents).c_str());
  EXPECT_EQ(std::strlen(direct.memberName), 255u);
}

TEST_F(RoleTest, MembershipOfLargeAndHostBuiltRoles) {
  std::string groups, users;
  for (int i = 0; i < 2000; ++i) {
    groups += "DOM\\group" + std::to_string(i) + ";";
    users += "DOM\\user" + std::to_string(i) + ";";
  }
  CQRNRoleList list;
  LoadGiven(&list, Document(Role("{1}", "Big", groups, users)));
  ASSERT_EQ(list.roles.size(), 1u);
  CQRNRole* big = list.roles[0];
  ASSERT_EQ(big->groupMembers.size(), 2000u);
  for (int i : {0, 1, 999, 1999}) {
    EXPECT_TRUE(CQRNRoleList::HasGroupMember(big, ("dom\\GROUP" + std::to_string(i)).c_str()));
    EXPECT_TRUE(CQRNRoleList::HasUserMember(big, ("Dom\\User" + std::to_string(i)).c_str()));
  }
  EXPECT_FALSE(CQRNRoleList::HasGroupMember(big, "DOM\\group2000"));
  EXPECT_FALSE(CQRNRoleList::HasUserMember(big, "DOM\\group1"));

  // A member the host appends after the load is still found.
  big->groupMembers.push_back(new CQRNRoleMemberGroup("Late\xC3\x84"));
  EXPECT_TRUE(CQRNRoleList::HasGroupMember(big, "LATE\xC3\xA4"));
  EXPECT_TRUE(CQRNRoleList::HasGroupMember(big, "DOM\\group5"));

  // A role the host builds itself.
  CQRNRole own;
  EXPECT_EQ(own.source.sourceNumber, 389);
  EXPECT_EQ(own.roleName[0], '\0');
  own.userMembers.push_back(new CQRNRoleMemberUser("SALES\\Carol"));
  EXPECT_TRUE(CQRNRoleList::HasUserMember(&own, "sales\\carol"));
  EXPECT_FALSE(CQRNRoleList::HasGroupMember(&own, "sales\\carol"));
}

// An IQrnXml2 of another make: it forwards to the real component, so the
// role list can only walk it through the COM interfaces.
class ForwardingXml final : public IQrnXml2 {
 public:
  explicit ForwardingXml(IQrnXml2* inner) : inner_(inner) {}
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IQrnXml2) {
      AddRef();
      *object = static_cast<IQrnXml2*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      inner_->Release();
      delete this;
    }
    return left;
  }
  HRESULT put_XmlString(BSTR xml) override { return inner_->put_XmlString(xml); }
  HRESULT GetElementText(IDispatch* element, BSTR* text) override {
    return inner_->GetElementText(element, text);
  }
  HRESULT FindElement(IDispatch* start, BSTR tag, IDispatch** element) override {
    return inner_->FindElement(start, tag, element);
  }

 private:
  ~ForwardingXml() = default;
  ULONG references_ = 1;
  IQrnXml2* inner_;
};

std::string Describe(const CQRNRoleList& list) {
  std::string text;
  for (const CQRNRole* role : list.roles) {
    text += std::string(role->roleId) + "|" + role->roleName + "|" + role->thirdText + "|";
    for (const std::string& name : Names(role, false)) text += name + ",";
    text += "|";
    for (const std::string& name : Names(role, true)) text += name + ",";
    text += "\n";
  }
  return text;
}

TEST_F(RoleTest, AnotherMakesComponentGivesTheSameRoles) {
  // Texts split by comments and CDATA, markup between fields and roles, a
  // nested element inside a field, rows of the wrong size, and a last child
  // followed by text.
  const std::string xml =
      "<DOCUMENT><!-- c --><QRNROLES>\n  " + Role("{1}", "Plain", "G1;G2", "U1") +
      " text <ROLE><ROLEID>{2}<!-- x --></ROLEID><ROLENAME>Mi<![CDATA[xed]]>d</ROLENAME>"
      "<ROLEDESC>a<B>nested</B>b</ROLEDESC><?pi?><ROLEGROUPS>" +
      EncryptString("M\xC3\x9CLLER;x") + "</ROLEGROUPS><ROLEUSERS/></ROLE>" +
      "<ROLE><A/><B/><C/><D/></ROLE>" + Role("{3}", "Caf\xC3\xA9 &amp; Bar", "", "u;;v") +
      "<ROLECOUNT>3</ROLECOUNT> tail </QRNROLES></DOCUMENT>";
  CQRNRoleList own;
  LoadGiven(&own, xml);
  ASSERT_EQ(own.roles.size(), 3u);
  EXPECT_STREQ(own.roles[1]->roleName, "Mixedd");
  EXPECT_STREQ(own.roles[1]->thirdText, "anestedb");
  EXPECT_STREQ(own.roles[2]->roleName, "Caf\xC3\xA9 & Bar");

  IQrnXml2* forwarding = new ForwardingXml(Parsed(xml));
  CQRNRoleList other;
  other.GetRoles(1, forwarding);
  forwarding->Release();
  EXPECT_EQ(Describe(other), Describe(own));
}

TEST_F(RoleTest, FirstLookupsFromSeveralThreadsAgree) {
  std::string users;
  for (int i = 0; i < 3000; ++i) users += "DOM\\user" + std::to_string(i) + ";";
  CQRNRoleList list;
  LoadGiven(&list, Document(Role("{1}", "Big", "", users)));
  ASSERT_EQ(list.roles.size(), 1u);
  const CQRNRole* big = list.roles[0];
  // The index is filled by whichever thread asks first; every thread sees it
  // whole.
  std::atomic<int> found{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&found, big, t] {
      for (int i = t; i < 3000; i += 4)
        if (CQRNRoleList::HasUserMember(big, ("dom\\USER" + std::to_string(i)).c_str())) ++found;
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(found.load(), 3000);
}

// An authorizer's load leaves the member records unmade; the names it keeps
// must answer every question exactly as the records would: the same names
// in the same order (empty names dropped, overlong ones cut as a record cuts
// them), the same membership answers, the same list-wide index, and, once a
// host is handed the role, the same records.
TEST_F(RoleTest, UnmadeMembersAnswerAsTheirRecords) {
  std::string accents;
  for (int i = 0; i < 150; ++i) accents += "\xC3\xA9";
  const std::string users = ";SALES\\bob;;M\xC3\x9CLLER;" + accents + ";SALES\\BOB;x";
  const std::string groups = "GroupA;;" + std::string(300, 'g') +
                             ";Gr\xC3\xBC\xC3\x9F"
                             "e";
  const std::string xml =
      Document(Role("{1}", "Odd", groups, users) + Role("{2}", "None", "", "") +
               "<ROLE><A>{3}</A><B>Garbled</B><C/><D>***</D><E>@@@@</E></ROLE>");
  CQRNRoleList made, unmade;
  LoadGiven(&made, xml);
  IQrnXml2* doc = Parsed(xml);
  RoleRecords::LoadDeferred(&unmade, 1, doc);
  doc->Release();
  ASSERT_EQ(unmade.roles.size(), made.roles.size());

  auto visited = [](const CQRNRole& role, bool users) {
    std::vector<std::string> names;
    RoleRecords::ForEachMember(role, users,
                               [&names](std::string_view n) { names.emplace_back(n); });
    return names;
  };
  const std::vector<std::string> probes = {"sales\\BOB",
                                           "m\xC3\xBCller",
                                           "M\xC3\x9C"
                                           "LLER",
                                           accents,
                                           accents.substr(0, 254),
                                           "x",
                                           "",
                                           std::string(300, 'g'),
                                           std::string(255, 'G'),
                                           "GR\xC3\x9C\xE1\xBA\x9E"
                                           "E",
                                           "groupa",
                                           "nobody"};
  for (size_t r = 0; r < made.roles.size(); ++r) {
    const CQRNRole& before = *unmade.roles[r];
    EXPECT_TRUE(before.userMembers.empty() && before.groupMembers.empty());
    for (bool kind : {true, false}) {
      SCOPED_TRACE(std::string(made.roles[r]->roleName) + (kind ? " users" : " groups"));
      EXPECT_EQ(visited(before, kind), Names(made.roles[r], kind));
      EXPECT_EQ(RoleRecords::MemberCount(before, kind), Names(made.roles[r], kind).size());
      for (const std::string& probe : probes) {
        const auto has = kind ? &CQRNRoleList::HasUserMember : &CQRNRoleList::HasGroupMember;
        EXPECT_EQ(has(&before, probe.c_str()), has(made.roles[r], probe.c_str())) << probe;
      }
    }
  }
  const RoleMemberIndex from_names(unmade), from_records(made);
  for (const std::string& probe : probes) {
    std::vector<uint32_t> a, b;
    from_names.FindUser(probe, &a);
    from_records.FindUser(probe, &b);
    from_names.FindGroup(probe, &a);
    from_records.FindGroup(probe, &b);
    EXPECT_EQ(a, b) << probe;
  }
  EXPECT_EQ(Names(made.roles[0], true),
            (std::vector<std::string>{"SALES\\bob", "M\xC3\x9CLLER", accents.substr(0, 254),
                                      "SALES\\BOB", "x"}));

  // Handed out: the records appear once, however often and from however
  // many threads they are asked for, while lookups go on.
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&unmade, &wrong] {
      for (int i = 0; i < 200; ++i) {
        if (i == 100) RoleRecords::MakeMembers(&unmade);
        if (!CQRNRoleList::HasUserMember(unmade.roles[0], "sales\\bob")) ++wrong;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  for (size_t r = 0; r < made.roles.size(); ++r) {
    EXPECT_EQ(Names(unmade.roles[r], true), Names(made.roles[r], true));
    EXPECT_EQ(Names(unmade.roles[r], false), Names(made.roles[r], false));
  }
  // A host that adds a member is then answered member by member.
  unmade.roles[1]->userMembers.push_back(new CQRNRoleMemberUser("SALES\\new"));
  EXPECT_TRUE(CQRNRoleList::HasUserMember(unmade.roles[1], "sales\\NEW"));
  EXPECT_EQ(RoleRecords::MemberCount(*unmade.roles[1], true), 1u);
}

}  // namespace
}  // namespace qrn
