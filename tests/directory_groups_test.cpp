// Directory group lookups against real components: accounts and groups of the
// name service through nss_wrapper, and a real slapd holding a user domain
// (SALES) and a source domain (CORP) with foreign security principals.
#include "security/common/qrnauthorize/directory_groups.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frame/trail.h"
#include "tests/support/nss_wrapper.h"
#include "tests/support/slapd.h"
#include "tests/support/test_env.h"

namespace {

using qrn::test::Base64;
using qrn::test::MakeSid;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

// ---- reading the authorization trail ----------------------------------------

struct Report {
  std::string step;
  int32_t status;
  std::string source;
};

std::string Ascii(BSTR text) {
  std::string out;
  for (unsigned i = 0; i < SysStringLen(text); ++i) out += static_cast<char>(text[i]);
  return out;
}

std::vector<Report> Reports() {
  std::vector<Report> reports;
  const VARIANT& errors = qrn::authorizationTrail.errors;
  for (LONG row = 0; row < qrn::authorizationTrail.count; ++row) {
    Report report;
    VARIANT cell;
    for (LONG column : {0, 1, 3}) {
      VariantInit(&cell);
      LONG index[2] = {row, column};
      if (SafeArrayGetElement(errors.parray, index, &cell) != S_OK) continue;
      if (column == 1) report.status = cell.lVal;
      if (column == 0) report.step = Ascii(cell.bstrVal);
      if (column == 3) report.source = Ascii(cell.bstrVal);
      VariantClear(&cell);
    }
    reports.push_back(report);
  }
  return reports;
}

std::vector<std::string> Entries(const std::string& text) {
  std::vector<std::string> entries;
  size_t start = 0;
  for (size_t end; (end = text.find(';', start)) != std::string::npos; start = end + 1)
    entries.push_back(text.substr(start, end - start));
  return entries;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// ---- name service -----------------------------------------------------------

// SALES\alice is a domain account with two domain groups; a local account of
// the same name exists and must never be taken for her.
constexpr char kPasswd[] =
    "SALES\\alice:x:1001:2001:Alice:/home/alice:/bin/false\n"
    "alice:x:1003:3001:Local Alice:/home/la:/bin/false\n"
    "bob:x:1002:3001:Bob:/home/bob:/bin/false\n";
constexpr char kGroup[] =
    "SALES\\Domain Users:x:2001:\n"
    "SALES\\Operators:x:2002:SALES\\alice\n"
    "staff:x:3001:\n"
    "Administrators:x:3002:bob,SALES\\alice\n"
    "Admins2:x:3003:SALES\\Operators,SALES\\Domain Users\n"
    "devs:x:3004:bob,alice\n";

TEST(NssGroups, DomainAndLocalAccountsGroups) {
  if (qrn::test::RunUnderNssWrapper(kPasswd, kGroup, {"LDAPNOINIT=1"})) return;
  qrn::test::HiveSandbox sandbox;

  std::string text;
  EXPECT_EQ(qrn::GetGlobalGroups("WinNT://SALES/alice,user", &text), S_OK);
  EXPECT_EQ(text, "Everyone;WinNT://SALES/Domain Users;WinNT://SALES/Operators;");

  text.clear();
  EXPECT_EQ(qrn::GetGlobalGroups("WinNT:///bob,user", &text), S_OK);
  EXPECT_EQ(text, "Everyone;WinNT://PC17/staff;WinNT://PC17/Administrators;WinNT://PC17/devs;");
  text.clear();
  EXPECT_EQ(qrn::GetGlobalGroups("WinNT://pc17/bob,user", &text), S_OK);
  EXPECT_EQ(Entries(text).size(), 4u);

  EXPECT_EQ(qrn::GetNetApiGroups("SALES", "alice", &text), S_OK);
  EXPECT_EQ(text, "Everyone;WinNT://SALES/Domain Users;WinNT://SALES/Operators;");

  EXPECT_EQ(qrn::authorizationTrail.count, 0);
}

TEST(NssGroups, UnknownAccountWithoutDirectoryOrServiceAccount) {
  if (qrn::test::RunUnderNssWrapper(kPasswd, kGroup, {"LDAPNOINIT=1"})) return;
  qrn::test::HiveSandbox sandbox;

  std::string text;
  EXPECT_EQ(qrn::GetGlobalGroups("WinNT://SALES/nobody,user", &text), S_FALSE);
  EXPECT_EQ(text, "Everyone;");
  // A domain that is not ours: the local bob is someone else.
  text.clear();
  EXPECT_EQ(qrn::GetGlobalGroups("WinNT://OTHER/bob,user", &text), S_FALSE);
  text.clear();
  EXPECT_EQ(qrn::GetGlobalGroups("LDAP://SALES/alice", &text), S_FALSE);

  const std::vector<Report> reports = Reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].step, "Getting the ADS Object for WinNT://SALES/nobody,user");
  EXPECT_EQ(reports[0].status, static_cast<int32_t>(0x800708AD));
  EXPECT_EQ(reports[0].source,
            "security/common/qrnauthorize(616):InitCache.GetUserRolesFromCache.GroupNames."
            "GetGlobalGroups.ADsGetObject");
  EXPECT_EQ(reports[2].status, static_cast<int32_t>(0x80005008));

  text = "old";
  EXPECT_EQ(qrn::GetNetApiGroups("SALES", "nobody", &text), static_cast<HRESULT>(0x800708AD));
  EXPECT_EQ(text, "");
  EXPECT_EQ(qrn::ConnectIpcShare("", true), S_OK);
}

TEST(NssGroups, LocalGroupsOfThisComputer) {
  if (qrn::test::RunUnderNssWrapper(kPasswd, kGroup, {"LDAPNOINIT=1"})) return;
  qrn::test::HiveSandbox sandbox;
  const std::vector<std::string> found = {"Everyone", "WinNT://SALES/Domain Users",
                                          "WinNT://SALES/Operators"};

  // Administrators holds her directly (once); Admins2 holds two of her
  // domain groups (once for each); devs holds only the local alice.
  std::vector<std::string> out;
  EXPECT_EQ(qrn::GetLocalGroupsAdsi("PC17", "SALES/alice", found, &out), S_OK);
  EXPECT_EQ(out, (std::vector<std::string>{"WinNT://WORKGROUP/PC17/Administrators",
                                           "WinNT://WORKGROUP/PC17/Admins2",
                                           "WinNT://WORKGROUP/PC17/Admins2"}));
  out.clear();
  EXPECT_EQ(qrn::GetLocalGroupsAdsi("pc17", "/bob", {}, &out), S_OK);
  EXPECT_EQ(out, (std::vector<std::string>{"WinNT://WORKGROUP/PC17/staff",
                                           "WinNT://WORKGROUP/PC17/Administrators",
                                           "WinNT://WORKGROUP/PC17/devs"}));
  EXPECT_EQ(qrn::GetLocalGroupsAdsi("OTHERPC", "SALES/alice", found, &out), E_FAIL);

  out.clear();
  EXPECT_EQ(qrn::GetLocalGroupsNetApi("PC17", "SALES/alice", &out), S_OK);
  EXPECT_EQ(out, (std::vector<std::string>{"WinNT://WORKGROUP/PC17/Administrators",
                                           "WinNT://WORKGROUP/PC17/Admins2"}));
  out.clear();
  EXPECT_EQ(qrn::GetLocalGroupsNetApi("PC17", "SALES/nobody", &out),
            static_cast<HRESULT>(0x800708AD));
  EXPECT_TRUE(out.empty());
}

TEST(NssGroups, NetApiPrefixIsRetriedUntilFound) {
  if (qrn::test::RunUnderNssWrapper(kPasswd, kGroup, {"LDAPNOINIT=1"})) return;
  qrn::test::HiveSandbox sandbox;
  std::vector<std::string> out;
  EXPECT_EQ(qrn::GetLocalGroupsNetApi("OTHERPC", "SALES/alice", &out),
            static_cast<HRESULT>(0x80070035));
  EXPECT_EQ(qrn::GetLocalGroupsNetApi("PC17", "/bob", &out), S_OK);
  EXPECT_EQ(out.front(), "WinNT://WORKGROUP/PC17/staff");
}

// ---- directory --------------------------------------------------------------

const std::string kAliceSid = MakeSid(1, 2, 3, 1104);
const std::string kCarolSid = MakeSid(1, 2, 3, 1105);
constexpr char kSales[] = "DC=SALES,DC=example";
constexpr char kCorp[] = "DC=CORP,DC=example";
constexpr char kServiceDn[] = "CN=svc,CN=Users,DC=SALES,DC=example";

std::string SalesLdif() {
  return std::string(
             "dn: DC=SALES,DC=example\nobjectClass: domain\ndc: SALES\n\n"
             "dn: CN=Users,DC=SALES,DC=example\nobjectClass: container\ncn: Users\n\n"
             "dn: CN=alice,CN=Users,DC=SALES,DC=example\nobjectClass: user\ncn: alice\n"
             "sAMAccountName: alice\nobjectSid:: ") +
         Base64(kAliceSid) +
         "\n\n"
         "dn: CN=carol,CN=Users,DC=SALES,DC=example\nobjectClass: user\ncn: carol\n"
         "sAMAccountName: carol\nobjectSid:: " +
         Base64(kCarolSid) +
         "\n\n"
         "dn: CN=svc,CN=Users,DC=SALES,DC=example\nobjectClass: user\ncn: svc\n"
         "sAMAccountName: svc\nuserPassword: pw\n\n"
         "dn: CN=Operators,CN=Users,DC=SALES,DC=example\nobjectClass: group\ncn: Operators\n"
         "member: CN=alice,CN=Users,DC=SALES,DC=example\n"
         "member: CN=carol,CN=Users,DC=SALES,DC=example\n\n"
         "dn: OU=Open,DC=SALES,DC=example\nobjectClass: organizationalUnit\nou: Open\n\n"
         "dn: CN=Helpdesk,OU=Open,DC=SALES,DC=example\nobjectClass: group\ncn: Helpdesk\n"
         "member: CN=carol,CN=Users,DC=SALES,DC=example\n";
}

// Anonymous sessions may read the open unit and the accounts, but not who is
// a member of the other groups; bound users may.
constexpr char kSalesAccess[] =
    "access to dn.subtree=\"OU=Open,DC=SALES,DC=example\" by * read\n"
    "access to attrs=member by users read by * none\n"
    "access to attrs=userPassword by anonymous auth by * none\n"
    "access to * by * read\n";

constexpr char kCorpLdif[] =
    "dn: DC=CORP,DC=example\nobjectClass: domain\ndc: CORP\n\n"
    "dn: CN=ForeignSecurityPrincipals,DC=CORP,DC=example\nobjectClass: container\n"
    "cn: ForeignSecurityPrincipals\n\n"
    "dn: CN=S-1-5-21-1-2-3-1104,CN=ForeignSecurityPrincipals,DC=CORP,DC=example\n"
    "objectClass: foreignSecurityPrincipal\ncn: S-1-5-21-1-2-3-1104\n\n"
    "dn: OU=Teams,DC=CORP,DC=example\nobjectClass: organizationalUnit\nou: Teams\n\n"
    "dn: CN=CorpOps,DC=CORP,DC=example\nobjectClass: group\ncn: CorpOps\n"
    "member: CN=S-1-5-21-1-2-3-1104,CN=ForeignSecurityPrincipals,DC=CORP,DC=example\n\n"
    "dn: CN=Team A,OU=Teams,DC=CORP,DC=example\nobjectClass: group\ncn: Team A\n"
    "member: CN=S-1-5-21-1-2-3-1105,CN=ForeignSecurityPrincipals,DC=CORP,DC=example\n"
    "member: CN=S-1-5-21-1-2-3-1104,CN=ForeignSecurityPrincipals,DC=CORP,DC=example\n\n"
    "dn: CN=CarolOnly,DC=CORP,DC=example\nobjectClass: group\ncn: CarolOnly\n"
    "member: CN=S-1-5-21-1-2-3-1105,CN=ForeignSecurityPrincipals,DC=CORP,DC=example\n";

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.running()) << slapd_.error();
    setenv("LDAPURI", slapd_.uri().c_str(), 1);
    setenv("LDAPBASE", kSales, 1);
  }
  void ServiceAccount(const std::string& values) {
    sandbox_.WriteMachineHive(std::string(kHeader) +
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n" + values);
  }
  qrn::test::HiveSandbox sandbox_;
  qrn::test::Slapd slapd_{{{kSales, SalesLdif(), kSalesAccess}, {kCorp, kCorpLdif, ""}}};
};

TEST_F(DirectoryTest, ForeignDomainGroupsHoldingTheUser) {
  std::string text = "WinNT://SALES/Operators;";
  EXPECT_EQ(qrn::GetForeignDomainGroups("WinNT://SALES/alice,user",
                                        slapd_.host_port() + "/" + kCorp, &text),
            S_OK);
  const std::vector<std::string> entries = Entries(text);
  ASSERT_EQ(entries.size(), 3u) << text;
  EXPECT_EQ(entries[0], "WinNT://SALES/Operators");
  EXPECT_EQ(Sorted({entries[1], entries[2]}),
            (std::vector<std::string>{"CORP/CorpOps", "CORP/Team A"}));

  // The same domain on the machine's directory, named by its DN alone.
  text.clear();
  EXPECT_EQ(qrn::GetForeignDomainGroups("WinNT://SALES/carol,user", kCorp, &text), S_OK);
  EXPECT_EQ(Sorted(Entries(text)), (std::vector<std::string>{"CORP/CarolOnly", "CORP/Team A"}));

  // A domain whose search finds nothing leaves the text as it was.
  text = "x;";
  EXPECT_EQ(qrn::GetForeignDomainGroups("WinNT://SALES/alice,user", kSales, &text), S_OK);
  EXPECT_EQ(text, "x;");
}

TEST_F(DirectoryTest, ForeignDomainGroupsFailWithoutSidOrDomain) {
  std::string text = "x;";
  EXPECT_EQ(qrn::GetForeignDomainGroups("WinNT://SALES/nobody,user", kCorp, &text), S_FALSE);
  EXPECT_EQ(qrn::GetForeignDomainGroups("WinNT://SALES/svc,user", kCorp, &text), S_FALSE);
  EXPECT_EQ(qrn::GetForeignDomainGroups("WinNT://SALES/alice,user", "DC=MISSING,DC=example", &text),
            S_FALSE);
  EXPECT_EQ(qrn::GetForeignDomainGroups("WinNT://SALES/alice,user",
                                        "127.0.0.1:1/" + std::string(kCorp), &text),
            S_FALSE);
  EXPECT_EQ(text, "x;");
}

// carol is not an account of this machine's name service: her groups come
// from the directory through the service account, after the report.
TEST_F(DirectoryTest, ServiceAccountBindListsTheGroups) {
  ServiceAccount(std::string("\"ZTLUser\"=\"") + kServiceDn + "\"\r\n\"ZTLPwd\"=\"pw\"\r\n");
  std::string text;
  EXPECT_EQ(qrn::GetGlobalGroups("WinNT://SALES/carol,user", &text), S_OK);
  const std::vector<std::string> entries = Entries(text);
  ASSERT_EQ(entries.size(), 3u) << text;
  EXPECT_EQ(entries[0], "Everyone");
  EXPECT_EQ(Sorted({entries[1], entries[2]}),
            (std::vector<std::string>{"WinNT://SALES/Helpdesk", "WinNT://SALES/Operators"}));

  // A name that would widen the search finds no one.
  text.clear();
  EXPECT_EQ(qrn::GetGlobalGroups("WinNT://SALES/*,user", &text), S_FALSE);
  EXPECT_EQ(text, "Everyone;");

  const std::vector<Report> reports = Reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].step, "Getting the ADS Object for WinNT://SALES/carol,user");
  EXPECT_EQ(reports[2].step, "Opening the ADS Object for WinNT://SALES/*,user");
  EXPECT_NE(reports[2].source.find("(632):"), std::string::npos);
}

TEST_F(DirectoryTest, ServiceAccountRefusedOrIncomplete) {
  ServiceAccount(std::string("\"ZTLUser\"=\"") + kServiceDn + "\"\r\n\"ZTLPwd\"=\"wrong\"\r\n");
  std::string text;
  EXPECT_EQ(qrn::GetGlobalGroups("WinNT://SALES/carol,user", &text), S_FALSE);
  EXPECT_EQ(text, "Everyone;");
  // A user name without a password: no second bind.
  ServiceAccount(std::string("\"ZTLUser\"=\"") + kServiceDn + "\"\r\n");
  text.clear();
  EXPECT_EQ(qrn::GetGlobalGroups("WinNT://SALES/carol,user", &text), S_FALSE);

  const std::vector<Report> reports = Reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[1].step, "Opening the ADS Object for WinNT://SALES/carol,user");
  EXPECT_EQ(reports[1].status, static_cast<int32_t>(0x8007052E));  // logon failure
  EXPECT_EQ(reports[2].step, "Getting the ADS Object for WinNT://SALES/carol,user");
}

// The name service does not know carol; the retry over an anonymous session
// sees only what anonymous users may see, and the session is closed after.
TEST_F(DirectoryTest, NetApiRetriesOverAnAnonymousSession) {
  std::string text;
  EXPECT_EQ(qrn::GetNetApiGroups("SALES", "carol", &text), S_OK);
  EXPECT_EQ(text, "Everyone;WinNT://SALES/Helpdesk;");
  EXPECT_EQ(qrn::ConnectIpcShare(slapd_.uri(), false), 2250);

  EXPECT_EQ(qrn::GetNetApiGroups("SALES", "nobody", &text), static_cast<HRESULT>(0x800708AD));
  EXPECT_EQ(text, "");
  EXPECT_EQ(qrn::ConnectIpcShare(slapd_.uri(), true), S_OK);
  EXPECT_EQ(qrn::ConnectIpcShare(slapd_.uri(), false), S_OK);
}

TEST(NoDirectory, LookupsFailAsTheirContractsSay) {
  qrn::test::HiveSandbox sandbox;
  sandbox.WriteMachineHive(std::string(kHeader) +
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n"
                           "\"ZTLUser\"=\"svc\"\r\n\"ZTLPwd\"=\"pw\"\r\n");
  setenv("LDAPURI", "ldap://127.0.0.1:1", 1);
  setenv("LDAPBASE", kSales, 1);

  std::string text = "x;";
  EXPECT_EQ(qrn::GetForeignDomainGroups("WinNT://SALES/alice,user", kCorp, &text), S_FALSE);
  EXPECT_EQ(text, "x;");
  EXPECT_EQ(qrn::ConnectIpcShare("127.0.0.1:1", true), 53);

  text.clear();
  EXPECT_EQ(qrn::GetGlobalGroups("WinNT://SALES/nobody,user", &text), S_FALSE);
  EXPECT_EQ(text, "Everyone;");
  const std::vector<Report> reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].status, static_cast<int32_t>(0x8007203A));  // server not operational

  EXPECT_EQ(qrn::GetNetApiGroups("SALES", "nobody", &text), static_cast<HRESULT>(0x800708AD));
}

TEST(SidText, RendersWellFormedIdentifiersOnly) {
  std::string text;
  ASSERT_TRUE(qrn::SidToString(MakeSid(1, 2, 3, 500), &text));
  EXPECT_EQ(text, "S-1-5-21-1-2-3-500");
  ASSERT_TRUE(
      qrn::SidToString(std::string("\x01\x01\x00\x00\x00\x00\x00\x05\x12\x00\x00\x00", 12), &text));
  EXPECT_EQ(text, "S-1-5-18");
  const std::string sid = MakeSid(4294967295u, 0, 0, 1);
  EXPECT_TRUE(qrn::SidToString(sid, &text));
  EXPECT_EQ(text, "S-1-5-21-4294967295-0-0-1");
  EXPECT_FALSE(qrn::SidToString(sid.substr(0, sid.size() - 1), &text));  // short
  EXPECT_FALSE(qrn::SidToString(std::string("\x02\x00\x00\x00\x00\x00\x00\x05", 8), &text));
  EXPECT_FALSE(qrn::SidToString("", &text));
}

}  // namespace
