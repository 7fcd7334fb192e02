#include "security/common/server_requests.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "platform/text.h"

namespace qrn {

namespace {

constexpr char kQueryCombined[] = "?Object=MvtSecData&Operation=Get&ClientTimestamp=";
constexpr char kQueryOldServerDate[] = "?Object=dateTime&Object2=LocalGroupsLevel";
constexpr char kQueryDateTime[] = "?Object=dateTime";
constexpr char kQueryApplications[] = "?Object=Appl&Operation=GetAll";
constexpr char kQueryRoles[] = "?Object=Role&Operation=Get";
constexpr char kQueryAcl[] = "?Object=Cache&Operation=Get";
constexpr char kQueryUser[] = "?User=";
constexpr char kQueryDomain[] = "&Domain=";
constexpr char kQueryUserGroups[] = "&Operation=Get&Object=UserGroups";
constexpr char kQueryAllUserGroups[] = "&Operation=Get&Object=AllUserGroups";
constexpr char kQueryDomainGroups[] = "&DomainGroups=";
constexpr char kQueryServerLocalGroups[] = "&Operation=Append&Object=ServerLocalGroups";
constexpr char kQueryLog[] = "?Object=Log&Operation=Add&User=";
constexpr char kQueryAction[] = "&Action=";
constexpr char kQueryStatus[] = "&Status=";
constexpr char kQueryComputer[] = "&Computer=";

constexpr char kApplicationsEnd[] = "</QRNAPPLS></DOCUMENT>";
constexpr char kCdataStart[] = "<![CDATA[";
constexpr size_t kCdataStartLength = 9;
constexpr size_t kCdataEndLength = 3;
constexpr char kLevelMark[] = "LocalGroupsLevel:";
constexpr size_t kOldServerLeadIn = 11;

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string Join(std::initializer_list<std::string_view> pieces) {
  size_t size = 0;
  for (std::string_view p : pieces) size += p.size();
  std::string out;
  out.reserve(size);
  for (std::string_view p : pieces) out.append(p);
  return out;
}

std::string UserDomainRequest(std::string_view base, std::string_view user, std::string_view domain,
                              std::string_view tail) {
  return Join(
      {base, kQueryUser, CanonicalizeValue(user), kQueryDomain, CanonicalizeValue(domain), tail});
}

// Where a part lies in the text: [begin, end).
struct Span {
  size_t begin = 0;
  size_t end = 0;
  size_t size() const { return end - begin; }
};

// The text between "<tag>" and "</tag>", searched from *position.
Span TaggedPart(std::string_view text, std::string_view tag, size_t* position) {
  const std::string open = Join({"<", tag, ">"});
  const std::string close = Join({"</", tag, ">"});
  const size_t found = text.find(open, *position);
  if (found == std::string_view::npos) return {};
  const size_t start = found + open.size();
  *position = start;
  const size_t end = text.find(close, start);
  if (end == std::string_view::npos) return {};
  return {start, end};
}

// A document part without its CDATA wrapper: when it holds "<![CDATA[", its
// first 9 and last 3 characters go and white space is trimmed.
Span Unwrap(std::string_view text, Span part) {
  const std::string_view inner = text.substr(part.begin, part.size());
  if (inner.find(kCdataStart) == std::string_view::npos) return part;
  std::string_view cut = inner.substr(std::min(kCdataStartLength, inner.size()));
  cut.remove_suffix(std::min(kCdataEndLength, cut.size()));
  const std::string_view trimmed = platform::TrimWhite(cut);
  const size_t begin = static_cast<size_t>(trimmed.data() - text.data());
  return {begin, begin + trimmed.size()};
}

}  // namespace

std::string CanonicalizeValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsUnreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

std::string UrlWithoutUserInfo(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return std::string(url);
  const size_t start = scheme + 3;
  size_t end = url.find_first_of("/?#\\", start);
  if (end == std::string_view::npos) end = url.size();
  // The last at-sign of the authority ends the user information.
  const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string_view::npos || at < start) return std::string(url);
  return Join({url.substr(0, start), url.substr(at + 1)});
}

std::string CombinedDataRequest(std::string_view base, std::string_view timestamp) {
  // The timestamp is the server's own text and may hold blanks, "+", "&" or
  // "#": sent raw, it would break the request line or be read back changed.
  return Join({base, kQueryCombined, CanonicalizeValue(timestamp)});
}
std::string OldServerDateRequest(std::string_view base) {
  return Join({base, kQueryOldServerDate});
}
std::string DateTimeRequest(std::string_view base) { return Join({base, kQueryDateTime}); }
std::string ApplicationsRequest(std::string_view base) { return Join({base, kQueryApplications}); }
std::string RolesRequest(std::string_view base) { return Join({base, kQueryRoles}); }
std::string AclRequest(std::string_view base) { return Join({base, kQueryAcl}); }

std::string UserGroupsRequest(std::string_view base, std::string_view user,
                              std::string_view domain) {
  return UserDomainRequest(base, user, domain, kQueryUserGroups);
}

std::string AllUserGroupsRequest(std::string_view base, std::string_view user,
                                 std::string_view domain) {
  return UserDomainRequest(base, user, domain, kQueryAllUserGroups);
}

std::string ServerLocalGroupsRequest(std::string_view base, std::string_view user,
                                     std::string_view domain, std::string_view groups) {
  return UserDomainRequest(
      base, user, domain,
      Join({kQueryDomainGroups, CanonicalizeValue(groups), kQueryServerLocalGroups}));
}

std::string AuditLogRequest(std::string_view base, std::string_view user, std::string_view action,
                            std::string_view status, std::string_view computer) {
  return Join({base, kQueryLog, CanonicalizeValue(user), kQueryAction, action, kQueryStatus, status,
               kQueryComputer, computer});
}

std::string BarePageRequest(std::string_view base) { return std::string(base); }

std::string_view TerminatedText(std::string_view page) {
  const size_t nul = page.find('\0');
  return nul == std::string_view::npos ? page : page.substr(0, nul);
}

void RejoinCombinedAnswer(std::string& page) {
  const size_t found = page.find(kApplicationsEnd);
  if (found == std::string::npos) return;
  const size_t after = found + std::strlen(kApplicationsEnd);
  if (after < page.size() && page[after] == '\0') page[after] = ' ';
}

SecurityDataParts SplitCombinedData(std::string_view page) {
  return SplitCombinedDataInPlace(std::string(page));
}

SecurityDataParts SplitCombinedDataInPlace(std::string&& page) {
  RejoinCombinedAnswer(page);
  const std::string_view text = TerminatedText(page);

  size_t position = 0;
  const Span level = TaggedPart(text, "LOCALGROUPLEVEL", &position);
  const Span timestamp = TaggedPart(text, "SERVERTIMESTAMP", &position);
  Span documents[3];
  documents[0] = Unwrap(text, TaggedPart(text, "APPLCACHE", &position));
  documents[1] = Unwrap(text, TaggedPart(text, "ROLECACHE", &position));
  documents[2] = Unwrap(text, TaggedPart(text, "ACLCACHE", &position));

  SecurityDataParts parts;
  std::string* targets[3] = {&parts.applications, &parts.roles, &parts.acls};
  parts.local_groups_level = ParseDecimal(text.substr(level.begin, level.size()));
  parts.server_timestamp = std::string(text.substr(timestamp.begin, timestamp.size()));
  // The largest document (nearly all of a real answer) keeps the page's own
  // buffer, cut down in place; the others are copied out of it first.
  size_t largest = 0;
  for (size_t d = 1; d < 3; ++d)
    if (documents[d].size() > documents[largest].size()) largest = d;
  for (size_t d = 0; d < 3; ++d)
    if (d != largest) targets[d]->assign(text.substr(documents[d].begin, documents[d].size()));
  page.resize(documents[largest].end);
  page.erase(0, documents[largest].begin);
  *targets[largest] = std::move(page);
  return parts;
}

OldServerDate ParseOldServerDate(std::string_view page) {
  const std::string_view text = TerminatedText(page);
  OldServerDate answer;
  const size_t semicolon = text.find(';');
  if (semicolon == std::string_view::npos) {
    answer.timestamp = std::string(text);
    return answer;
  }
  const std::string_view before = text.substr(0, semicolon);
  answer.timestamp = std::string(before.substr(std::min(kOldServerLeadIn, before.size())));
  const size_t mark = text.find(kLevelMark);
  if (mark != std::string_view::npos) {
    answer.has_level = true;
    const size_t digit = mark + std::strlen(kLevelMark);
    answer.level =
        (digit < text.size() && text[digit] >= '0' && text[digit] <= '9') ? text[digit] - '0' : 0;
  }
  return answer;
}

std::string ParseDateTimeAnswer(std::string_view page) { return std::string(TerminatedText(page)); }

int32_t ParseDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(value * 10 + (text[i] - '0'), kLimit);
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value);
}

}  // namespace qrn
