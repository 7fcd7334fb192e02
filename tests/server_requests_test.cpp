// The request catalogue, value canonicalisation and the answer readers.
#include "security/common/server_requests.h"

#include <gtest/gtest.h>

#include <map>

#include "frame/trail.h"
#include "security/common/web.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

// Query parameters of a URL, decoded.
std::multimap<std::string, std::string> Params(const std::string& url) {
  auto decode = [](const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '%' && i + 2 < s.size()) {
        out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
        i += 2;
      } else {
        out.push_back(s[i]);
      }
    }
    return out;
  };
  std::multimap<std::string, std::string> params;
  const size_t q = url.find('?');
  if (url.find('#') != std::string::npos) params.emplace("#", "");
  std::string rest = q == std::string::npos ? "" : url.substr(q + 1);
  size_t start = 0;
  while (start <= rest.size() && !rest.empty()) {
    size_t amp = rest.find('&', start);
    if (amp == std::string::npos) amp = rest.size();
    const std::string pair = rest.substr(start, amp - start);
    const size_t eq = pair.find('=');
    params.emplace(decode(pair.substr(0, eq)),
                   eq == std::string::npos ? "" : decode(pair.substr(eq + 1)));
    start = amp + 1;
    if (amp == rest.size()) break;
  }
  return params;
}

// Raw values go in as they are; the others are canonicalised.
TEST(ServerRequests, ValuesAreInsertedRawOrCanonicalised) {
  const std::string base = "http://srv/sec.asp";
  // The stored timestamp is the server's own text: a real server's dates
  // hold blanks, "+" and "/", which must reach it as they were.
  EXPECT_EQ(CombinedDataRequest(base, "12/01/2026 10:00:00 AM +1"),
            base +
                "?Object=MvtSecData&Operation=Get&ClientTimestamp="
                "12%2F01%2F2026%2010%3A00%3A00%20AM%20%2B1");
  EXPECT_EQ(ServerLocalGroupsRequest(base, "bob", "SALES", "g1;g 2"),
            base +
                "?User=bob&Domain=SALES&DomainGroups=g1%3Bg%202&Operation=Append&Object="
                "ServerLocalGroups");
  EXPECT_EQ(AuditLogRequest(base, "SALES\\bob", "Authorization", "Failed", "PC 1"),
            base +
                "?Object=Log&Operation=Add&User=SALES%5Cbob&Action=Authorization&Status=Failed&"
                "Computer=PC 1");
}

TEST(ServerRequests, UserInformationIsLeftOutOfAUrl) {
  EXPECT_EQ(UrlWithoutUserInfo("http://admin:pw@srv:8080/sec.aspx?a=b"),
            "http://srv:8080/sec.aspx?a=b");
  EXPECT_EQ(UrlWithoutUserInfo("https://a@b:p@ss@srv"), "https://srv");
  // An at-sign after the host belongs to the path or the query.
  EXPECT_EQ(UrlWithoutUserInfo("http://srv/p@x?u=a@b"), "http://srv/p@x?u=a@b");
  EXPECT_EQ(UrlWithoutUserInfo("http://srv?u=a@b"), "http://srv?u=a@b");
  EXPECT_EQ(UrlWithoutUserInfo("srv/sec.asp"), "srv/sec.asp");
}

TEST(ServerRequests, HostileValuesStayInTheirOwnParameter) {
  const std::string user = "a&b=c#d%e f";
  EXPECT_EQ(CanonicalizeValue(user), "a%26b%3Dc%23d%25e%20f");
  EXPECT_EQ(CanonicalizeValue("Az09-._~"), "Az09-._~");
  EXPECT_EQ(CanonicalizeValue("M\xC3\xBCller"), "M%C3%BCller");

  for (const std::string& url :
       {UserGroupsRequest("http://s/p", user, "D&Object=Appl"),
        ServerLocalGroupsRequest("http://s/p", user, "D", "x&Operation=Delete"),
        AuditLogRequest("http://s/p", user, "Authentication", "Success", "PC")}) {
    const auto params = Params(url);
    EXPECT_EQ(params.count("#"), 0u) << url;
    ASSERT_EQ(params.count("User"), 1u) << url;
    EXPECT_EQ(params.find("User")->second, user) << url;
    EXPECT_EQ(params.count("b"), 0u) << url;
    EXPECT_EQ(params.count("Operation"), 1u) << url;
    EXPECT_EQ(params.count("Object"), 1u) << url;
  }
}

std::string Cdata(const std::string& doc) { return "<![CDATA[" + doc + "]]>"; }

// The page as GetWebPage hands it back: NUL after the first "</DOCUMENT>".
std::string AsReceived(std::string page) {
  const size_t tag = page.find("</DOCUMENT>");
  if (tag != std::string::npos && tag + 11 < page.size()) page[tag + 11] = '\0';
  return page;
}

const char kAppl[] = "<DOCUMENT><QRNAPPLS><A/><END/></QRNAPPLS></DOCUMENT>";
const char kRoles[] = "<DOCUMENT><QRNROLES><R/></QRNROLES></DOCUMENT>";
const char kAcls[] = "<DOCUMENT><ACL/></DOCUMENT>";

TEST(SplitCombinedData, AllPartsAcrossTheDocumentMark) {
  const std::string page = AsReceived(
      "<MVTSECDATA><LOCALGROUPLEVEL> 3</LOCALGROUPLEVEL>"
      "<SERVERTIMESTAMP>2024-05-01 12:00:00</SERVERTIMESTAMP>"
      "<APPLCACHE>" +
      Cdata(kAppl) + "</APPLCACHE><ROLECACHE>" + Cdata(std::string("\n ") + kRoles + " \n") +
      "</ROLECACHE><ACLCACHE>" + Cdata(kAcls) + "</ACLCACHE></MVTSECDATA>");
  ASSERT_NE(page.find('\0'), std::string::npos);
  const SecurityDataParts parts = SplitCombinedData(page);
  EXPECT_EQ(parts.local_groups_level, 3);
  EXPECT_EQ(parts.server_timestamp, "2024-05-01 12:00:00");
  EXPECT_EQ(parts.applications, kAppl);
  EXPECT_EQ(parts.roles, kRoles);  // trimmed inside the wrapper
  EXPECT_EQ(parts.acls, kAcls);

  std::string rejoined = page;
  RejoinCombinedAnswer(rejoined);
  EXPECT_EQ(rejoined.find('\0'), std::string::npos);
  EXPECT_EQ(rejoined.size(), page.size());
}

TEST(SplitCombinedData, MissingAndUnwrappedParts) {
  // No ACL part; the role part has no CDATA wrapper and is used as it is.
  SecurityDataParts parts = SplitCombinedData(
      "<LOCALGROUPLEVEL>x</LOCALGROUPLEVEL><SERVERTIMESTAMP>T</SERVERTIMESTAMP>"
      "<APPLCACHE></APPLCACHE><ROLECACHE> plain </ROLECACHE>");
  EXPECT_EQ(parts.local_groups_level, 0);
  EXPECT_EQ(parts.server_timestamp, "T");
  EXPECT_EQ(parts.applications, "");
  EXPECT_EQ(parts.roles, " plain ");
  EXPECT_EQ(parts.acls, "");

  // A closing tag without its opening tag yields nothing.
  parts = SplitCombinedData("<SERVERTIMESTAMP>T</SERVERTIMESTAMP>junk</ACLCACHE>");
  EXPECT_EQ(parts.acls, "");
  EXPECT_EQ(parts.server_timestamp, "T");

  // An unclosed part is empty and the following parts are still found.
  parts = SplitCombinedData("<SERVERTIMESTAMP>T<ROLECACHE>r</ROLECACHE>");
  EXPECT_EQ(parts.server_timestamp, "");
  EXPECT_EQ(parts.roles, "r");

  EXPECT_EQ(SplitCombinedData("").roles, "");
  EXPECT_EQ(SplitCombinedData("<APPLCACHE><![CDATA</APPLCACHE>").applications, "<![CDATA");
  EXPECT_EQ(SplitCombinedData("<APPLCACHE><![CDATA[</APPLCACHE>").applications, "");
}

// Split in place, whichever document is the largest keeps the page's buffer:
// each part still comes out whole, unwrapped and trimmed, and a part cut off
// by the first NUL or missing its closing tag stays empty.
TEST(SplitCombinedData, InPlaceGivesTheSamePartsWhicheverIsLargest) {
  const std::string big_appl =
      "<DOCUMENT><QRNAPPLS>" + std::string(300, 'a') + "</QRNAPPLS></DOCUMENT>";
  const std::string big_roles =
      "<DOCUMENT><QRNROLES>" + std::string(300, 'r') + "</QRNROLES></DOCUMENT>";
  const std::string big_acls = "<DOCUMENT><ACL>" + std::string(300, 'c') + "</ACL></DOCUMENT>";
  const std::string cases[][3] = {
      {big_appl, kRoles, kAcls}, {kAppl, big_roles, kAcls}, {kAppl, kRoles, big_acls}};
  for (const auto& docs : cases) {
    const std::string page = AsReceived(
        "<LOCALGROUPLEVEL>2</LOCALGROUPLEVEL><SERVERTIMESTAMP>T</SERVERTIMESTAMP><APPLCACHE>" +
        Cdata(docs[0]) + "</APPLCACHE><ROLECACHE>" + Cdata(" \r\n" + docs[1] + "\t") +
        "</ROLECACHE><ACLCACHE>" + Cdata(docs[2]) + "</ACLCACHE>");
    const SecurityDataParts parts = SplitCombinedDataInPlace(std::string(page));
    EXPECT_EQ(parts.local_groups_level, 2);
    EXPECT_EQ(parts.server_timestamp, "T");
    EXPECT_EQ(parts.applications, docs[0]);
    EXPECT_EQ(parts.roles, docs[1]);
    EXPECT_EQ(parts.acls, docs[2]);
  }

  // The largest part unclosed: empty, and the smaller ones are intact.
  SecurityDataParts parts = SplitCombinedDataInPlace(
      "<APPLCACHE>a</APPLCACHE><ROLECACHE>" + std::string(500, 'r') + "<ACLCACHE>c</ACLCACHE>");
  EXPECT_EQ(parts.applications, "a");
  EXPECT_EQ(parts.roles, "");
  EXPECT_EQ(parts.acls, "c");

  // A NUL not after the application document ends the text there: what
  // follows it is not split, however large.
  std::string cut = "<APPLCACHE>a</APPLCACHE>";
  cut += '\0';
  cut += "<ROLECACHE>" + std::string(500, 'r') + "</ROLECACHE>";
  parts = SplitCombinedDataInPlace(std::move(cut));
  EXPECT_EQ(parts.applications, "a");
  EXPECT_EQ(parts.roles, "");

  // Nothing to split: every part empty.
  parts = SplitCombinedDataInPlace(std::string(1000, 'x'));
  EXPECT_EQ(parts.applications, "");
  EXPECT_EQ(parts.roles, "");
  EXPECT_EQ(parts.acls, "");
}

TEST(SplitCombinedData, AnEarlierDocumentMarkHidesTheRest) {
  // Only the NUL after "</QRNAPPLS></DOCUMENT>" is turned back into a blank.
  const std::string page = AsReceived(
      "<SERVERTIMESTAMP>T</SERVERTIMESTAMP><APPLCACHE><DOCUMENT>a</DOCUMENT></APPLCACHE>"
      "<ROLECACHE>r</ROLECACHE>");
  const SecurityDataParts parts = SplitCombinedData(page);
  EXPECT_EQ(parts.server_timestamp, "T");
  EXPECT_EQ(parts.applications, "");
  EXPECT_EQ(parts.roles, "");
}

TEST(OldServerDate, TimestampAndLevel) {
  OldServerDate answer = ParseOldServerDate("DATETIME = 2024-05-01 12:00;LocalGroupsLevel:2");
  EXPECT_EQ(answer.timestamp, "2024-05-01 12:00");
  EXPECT_TRUE(answer.has_level);
  EXPECT_EQ(answer.level, 2);

  answer = ParseOldServerDate("DATETIME = 2024;LocalGroupsLevel:x");
  EXPECT_TRUE(answer.has_level);
  EXPECT_EQ(answer.level, 0);

  answer = ParseOldServerDate("DATETIME = 2024;LocalGroupsLevel:");
  EXPECT_EQ(answer.level, 0);

  answer = ParseOldServerDate("2024-05-01 without semicolon LocalGroupsLevel:3");
  EXPECT_EQ(answer.timestamp, "2024-05-01 without semicolon LocalGroupsLevel:3");
  EXPECT_FALSE(answer.has_level);

  answer = ParseOldServerDate("short;");
  EXPECT_EQ(answer.timestamp, "");
  EXPECT_FALSE(answer.has_level);

  EXPECT_EQ(ParseDateTimeAnswer(std::string("<DOCUMENT>t</DOCUMENT>\0rest", 27)),
            "<DOCUMENT>t</DOCUMENT>");
}

TEST(ParseDecimal, SaturatesInsteadOfOverflowing) {
  EXPECT_EQ(ParseDecimal("  -7x"), -7);
  EXPECT_EQ(ParseDecimal("99999999999999999999"), 2147483647);
  EXPECT_EQ(ParseDecimal("-99999999999999999999"), -2147483647 - 1);
}

TEST(ServerRequests, AgainstTheReferenceServer) {
  test::HiveSandbox sandbox;
  test::SecdProcess secd(test::SampleDataPath());

  std::string combined;
  ASSERT_TRUE(GetWebPage(CombinedDataRequest(secd.url(), ""), combined, false));
  const SecurityDataParts parts = SplitCombinedData(combined);
  EXPECT_EQ(parts.local_groups_level, 3);
  EXPECT_FALSE(parts.server_timestamp.empty());
  EXPECT_TRUE(parts.applications.ends_with("</QRNAPPLS></DOCUMENT>")) << parts.applications;
  EXPECT_NE(parts.roles.find("<QRNROLES>"), std::string::npos);
  EXPECT_FALSE(parts.acls.empty());

  std::string date, old_date;
  ASSERT_TRUE(GetWebPage(DateTimeRequest(secd.url()), date, true));
  EXPECT_EQ(ParseDateTimeAnswer(date), parts.server_timestamp);
  ASSERT_TRUE(GetWebPage(OldServerDateRequest(secd.url()), old_date, false));
  const OldServerDate answer = ParseOldServerDate(old_date);
  EXPECT_TRUE(answer.has_level);
  EXPECT_EQ(answer.level, 3);

  // A hostile user name arrives whole, as one value.
  std::string ignored;
  GetWebPage(AuditLogRequest(secd.url(), "a&b=c#d%e f", "Authorization", "Failed", "PC"), ignored,
             true);
  EXPECT_NE(secd.AuditLog().find("a&b=c#d%e f"), std::string::npos) << secd.AuditLog();

  // An unknown request is answered with an error status and an error page.
  EXPECT_EQ(authorizationTrail.count, 0);
  std::string unknown;
  EXPECT_FALSE(GetWebPage(secd.url() + "?Object=Nothing", unknown, true));
  EXPECT_EQ(authorizationTrail.count, 1);
}

}  // namespace
}  // namespace qrn
