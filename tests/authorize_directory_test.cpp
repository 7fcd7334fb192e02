// Directory queries on an application document loaded from the cache files
// (the server is down), with the damaged and tricky shapes a server or an
// edited cache may hold.
#include "security/common/com_owners.h"
#include "security/common/qrnauthorize/application_document.h"
#include "security/common/qrncache_files.h"
#include "tests/authorize_fixture.h"

namespace qrn::test {
namespace {

constexpr char kMonthlyId[] = "{7290D6F4-BE5E-481A-AD1F-78957BCA1BEE}";

// Payroll: Reports (two objects, one with a short id), Müller (none), and a
// group that has only its identifier. Inventory: a damaged group count.
// Last: the last child of QRNAPPLS, never an application.
const char kApplications[] =
    "<DOCUMENT><QRNAPPLS>"
    "<APPL><APPLNAME>Payroll</APPLNAME><APPLID>{DC453042-CC6D-4DB0-B517-A822DDBD0FF3}</APPLID>"
    "<GROUPCOUNT>3</GROUPCOUNT><APPLDESC>d</APPLDESC><APPLFLAGS>0</APPLFLAGS>"
    "<SECGROUP1><GROUPID>{68E260CF-70AF-4D81-BF7B-6E56A5BDC85F}</GROUPID>"
    "<GROUPNAME>Reports</GROUPNAME><SECOBJECTCOUNT>2</SECOBJECTCOUNT><GROUPDESC>d</GROUPDESC>"
    "<SECOBJECT><SECOBJID>{7290D6F4-BE5E-481A-AD1F-78957BCA1BEE}</SECOBJID>"
    "<SECOBJNAME>Payroll.Monthly</SECOBJNAME></SECOBJECT>"
    "<SECOBJECT><SECOBJID>{AB}</SECOBJID><SECOBJNAME>Payroll.Short</SECOBJNAME></SECOBJECT>"
    "</SECGROUP1>"
    "<SECGROUP2><GROUPID>{27DBB2FD-66B5-4286-990C-8A47773F9B47}</GROUPID>"
    "<GROUPNAME>M\xC3\x9CLLER</GROUPNAME><SECOBJECTCOUNT>0</SECOBJECTCOUNT><GROUPDESC>d</GROUPDESC>"
    "</SECGROUP2>"
    "<SECGROUP3><GROUPID>{11111111-2222-3333-4444-555555555555}</GROUPID></SECGROUP3>"
    "</APPL>"
    "<APPL><APPLNAME>Inventory</APPLNAME><APPLID>{753EDB3B-5FB3-4C89-9705-2A903CC38F09}</APPLID>"
    "<GROUPCOUNT>999999999</GROUPCOUNT><APPLDESC>d</APPLDESC><APPLFLAGS>0</APPLFLAGS></APPL>"
    "<APPL><APPLNAME>Last</APPLNAME><APPLID>{00000000-0000-0000-0000-000000000000}</APPLID>"
    "<GROUPCOUNT>0</GROUPCOUNT><APPLDESC>d</APPLDESC><APPLFLAGS>0</APPLFLAGS></APPL>"
    "</QRNAPPLS></DOCUMENT>";

BstrRef W(const char* text) { return text == nullptr ? BstrRef() : MakeBstrRef(text); }

std::vector<std::string> Texts(const VARIANT& list, std::vector<bool>* nulls = nullptr) {
  std::vector<std::string> texts;
  EXPECT_EQ(list.vt, VT_ARRAY | VT_BSTR);
  if (list.vt != (VT_ARRAY | VT_BSTR)) return texts;
  LONG lower = -1, upper = -1;
  SafeArrayGetLBound(list.parray, 1, &lower);
  SafeArrayGetUBound(list.parray, 1, &upper);
  EXPECT_EQ(lower, 0);
  for (LONG i = lower; i <= upper; ++i) {
    BSTR text = nullptr;
    SafeArrayGetElement(list.parray, &i, &text);
    if (nulls != nullptr) nulls->push_back(text == nullptr);
    texts.push_back(BstrText(text));
    SysFreeString(text);
  }
  return texts;
}

struct Lists {
  VARIANT names, ids;
  Lists() {
    VariantInit(&names);
    VariantInit(&ids);
  }
  ~Lists() {
    VariantClear(&names);
    VariantClear(&ids);
  }
};

class DirectoryTest : public AuthorizeFixture {
 protected:
  // Cache files of the test's own document; the configured server is down.
  void LoadDocument() {
    WriteData(DataJson("12/01/2026 10:00:00 AM", {}));
    StartServer();
    StopServer();
    ASSERT_EQ(QrnEncryptBufferAndPersistInFile(kApplications, CacheFile(kApplicationCacheFile)),
              S_OK);
    ASSERT_EQ(QrnEncryptBufferAndPersistInFile(
                  "<DOCUMENT><QRNROLES><ROLECOUNT>0</ROLECOUNT></QRNROLES></DOCUMENT>",
                  CacheFile(kRoleCacheFile)),
              S_OK);
    ASSERT_EQ(QrnEncryptBufferAndPersistInFile(
                  "<DOCUMENT><QRNACLS><ACLCOUNT>0</ACLCOUNT></QRNACLS></DOCUMENT>",
                  CacheFile(kAclCacheFile)),
              S_OK);
    ASSERT_EQ(CQRNAuthorize::SetCacheTime("12/01/2026 10:00:00 AM"), S_OK);
    ASSERT_TRUE(authorizer_.InitCache("SALES\\bob", QRN_CLEAR_CACHE_GROUPS));
  }

  std::string Id(const char* app, const char* group = nullptr, const char* object = nullptr,
                 HRESULT expected = S_OK) {
    BSTR id = reinterpret_cast<BSTR>(&authorizer_);  // must be overwritten
    EXPECT_EQ(authorizer_.GetSecurityId(W(app).get(), W(group).get(), W(object).get(), &id),
              expected);
    BstrRef owner(id);
    return id == nullptr ? "(null)" : BstrText(id);
  }

  CQRNAuthorize authorizer_;
};

TEST_F(DirectoryTest, IdentifiersByLevelAndName) {
  LoadDocument();
  EXPECT_EQ(Id("Payroll"), "QRNDC453042-CC6D-4DB0-B517-A822DDBD0FF3");
  EXPECT_EQ(Id("payroll", "REPORTS"), "QRN68E260CF-70AF-4D81-BF7B-6E56A5BDC85F");
  EXPECT_EQ(Id("PAYROLL", "reports", "payroll.monthly"),
            "QRN" + std::string(kMonthlyId).substr(1, 36));
  EXPECT_EQ(Id("Payroll", "m\xC3\xBCller"), "QRN27DBB2FD-66B5-4286-990C-8A47773F9B47");
  EXPECT_EQ(Id("Payroll", "Reports", "Payroll.Short"), "QRNAB}");  // fewer characters
  EXPECT_EQ(Id("Payroll", "", ""), "QRNDC453042-CC6D-4DB0-B517-A822DDBD0FF3");

  // Missing elements are no error: S_OK and no identifier.
  EXPECT_EQ(Id("Last"), "(null)");  // the last child is not an application
  EXPECT_EQ(Id("Nowhere"), "(null)");
  EXPECT_EQ(Id("Payroll", "Nowhere"), "(null)");
  EXPECT_EQ(Id("Payroll", "Reports", "Nowhere"), "(null)");
  EXPECT_EQ(Id(""), "(null)");
  EXPECT_EQ(Id(nullptr, "Reports"), "(null)");
  for (const TrailRow& row : AuthorizationTrail())
    EXPECT_EQ(row.source.find("GetSecurityId"), std::string::npos) << row.source;

  EXPECT_EQ(authorizer_.GetSecurityId(W("Payroll").get(), nullptr, nullptr, nullptr), E_INVALIDARG);
  EXPECT_TRUE(HasTrailRow("security/common/qrnauthorize(3412):GetSecurityId.pbstrId",
                          "No Return Value Buffer", E_INVALIDARG));
}

TEST_F(DirectoryTest, GroupAndMemberLists) {
  LoadDocument();
  {
    Lists lists;
    ASSERT_EQ(authorizer_.GetSecureGroups(W("PAYROLL").get(), &lists.names, &lists.ids), S_OK);
    std::vector<bool> null_names;
    EXPECT_EQ(Texts(lists.names, &null_names),
              (std::vector<std::string>{"Reports", "M\xC3\x9CLLER", ""}));
    EXPECT_EQ(null_names, (std::vector<bool>{false, false, true}));  // unreadable stays null
    EXPECT_EQ(Texts(lists.ids),
              (std::vector<std::string>{"QRN68E260CF-70AF-4D81-BF7B-6E56A5BDC85F",
                                        "QRN27DBB2FD-66B5-4286-990C-8A47773F9B47",
                                        "QRN11111111-2222-3333-4444-555555555555"}));
  }
  {
    Lists lists;
    ASSERT_EQ(authorizer_.GetSecureGroupMembers(W("payroll").get(), W("reports").get(),
                                                &lists.names, &lists.ids),
              S_OK);
    EXPECT_EQ(Texts(lists.names), (std::vector<std::string>{"Payroll.Monthly", "Payroll.Short"}));
    EXPECT_EQ(Texts(lists.ids)[1], "QRNAB}");
  }
  for (const char* app : {"Last", "Nowhere"}) {
    Lists lists;
    ASSERT_EQ(authorizer_.GetSecureGroups(W(app).get(), &lists.names, &lists.ids), S_OK);
    EXPECT_TRUE(Texts(lists.names).empty());
    EXPECT_TRUE(Texts(lists.ids).empty());
  }
  {
    Lists lists;  // no such group: empty arrays
    ASSERT_EQ(authorizer_.GetSecureGroupMembers(W("Payroll").get(), W("Nowhere").get(),
                                                &lists.names, &lists.ids),
              S_OK);
    EXPECT_TRUE(Texts(lists.names).empty());
  }
  {
    // A damaged count is cut to the element's children instead of making a
    // billion entries.
    Lists lists;
    ASSERT_EQ(authorizer_.GetSecureGroups(W("Inventory").get(), &lists.names, &lists.ids), S_OK);
    EXPECT_LE(Texts(lists.names).size(), 5u);
  }
  Lists lists;
  EXPECT_EQ(authorizer_.GetSecureGroups(nullptr, &lists.names, &lists.ids), E_INVALIDARG);
  EXPECT_EQ(authorizer_.GetSecureGroups(W("Payroll").get(), nullptr, &lists.ids), E_INVALIDARG);
  EXPECT_EQ(
      authorizer_.GetSecureGroupMembers(W("Payroll").get(), nullptr, &lists.names, &lists.ids),
      E_INVALIDARG);
}

TEST_F(DirectoryTest, WithoutALoadedDocument) {
  CQRNAuthorize authorizer;
  BSTR id = nullptr;
  EXPECT_EQ(authorizer.GetSecurityId(W("Payroll").get(), nullptr, nullptr, &id), S_OK);
  EXPECT_EQ(id, nullptr);
  Lists groups;
  EXPECT_EQ(authorizer.GetSecureGroups(W("Payroll").get(), &groups.names, &groups.ids), E_FAIL);
  EXPECT_EQ(groups.names.vt, VT_EMPTY);
  Lists members;
  EXPECT_EQ(authorizer.GetSecureGroupMembers(W("Payroll").get(), W("Reports").get(), &members.names,
                                             &members.ids),
            S_OK);
  EXPECT_TRUE(Texts(members.names).empty());
  EXPECT_TRUE(Texts(members.ids).empty());
}

TEST(SplitDottedNameTest, Forms) {
  struct Case {
    const char* text;
    HRESULT result;
    const char* first;
    const char* second;
    const char* third;
  } cases[] = {
      {"", S_OK, "", "", ""},
      {"  \t ", S_OK, "", "", ""},
      {"Payroll", S_OK, "Payroll", "", ""},
      {" a.b.c ", S_OK, "a", "b", "c"},
      {"a.", S_OK, "a", "", ""},
      {"a.b", S_OK, "a", "b", ""},
      {"a..c", S_OK, "a", "", ""},
      {"a.b.", S_OK, "a", "b", ""},
      {"a.b. c ", S_OK, "a", "b", "c"},
      {"a.b.c.d", E_INVALIDARG, "", "", ""},
      {".b.c", S_OK, "", "b", "c"},
      {"\xC3\xA4.\xC3\xB6.\xC3\xBC", S_OK, "\xC3\xA4", "\xC3\xB6", "\xC3\xBC"},
  };
  for (const Case& c : cases) {
    std::string first = "x", second = "x", third = "x";
    EXPECT_EQ(SplitDottedName(c.text, &first, &second, &third), c.result) << c.text;
    EXPECT_EQ(first, c.first) << c.text;
    EXPECT_EQ(second, c.second) << c.text;
    EXPECT_EQ(third, c.third) << c.text;
  }
}

}  // namespace
}  // namespace qrn::test
