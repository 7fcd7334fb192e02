// The catalogue of security-server requests and the readers of their answers.
//
// Every request is the configured security page URL with a query text
// appended directly (no separator added). Values are inserted either
// canonicalised (CanonicalizeValue) or raw, request by request, as the
// functions below say. Answers are read as terminated text: up to the first
// NUL, which GetWebPage places right after the first "</DOCUMENT>".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qrn {

// Percent-encodes every byte outside letters, digits and "-._~" (upper-case
// hex), so a value can never add or change parameters of a request.
std::string CanonicalizeValue(std::string_view value);

// The URL without its user information ("user:password@" before the host),
// so a password given in a URL is never stored or shown. Other URLs come
// back unchanged.
std::string UrlWithoutUserInfo(std::string_view url);

// Request texts. `base` is the security page URL.
// The timestamp canonicalised: servers write dates with blanks and "+".
std::string CombinedDataRequest(std::string_view base, std::string_view timestamp);
std::string OldServerDateRequest(std::string_view base);
std::string DateTimeRequest(std::string_view base);
std::string ApplicationsRequest(std::string_view base);
std::string RolesRequest(std::string_view base);
std::string AclRequest(std::string_view base);
// User and domain canonicalised.
std::string UserGroupsRequest(std::string_view base, std::string_view user,
                              std::string_view domain);
std::string AllUserGroupsRequest(std::string_view base, std::string_view user,
                                 std::string_view domain);
// User, domain and groups canonicalised.
std::string ServerLocalGroupsRequest(std::string_view base, std::string_view user,
                                     std::string_view domain, std::string_view groups);
// The audit post: user canonicalised; action, status and computer raw.
std::string AuditLogRequest(std::string_view base, std::string_view user, std::string_view action,
                            std::string_view status, std::string_view computer);
// The bare page (only its success counts).
std::string BarePageRequest(std::string_view base);

// The text up to its first NUL (all of it when there is none).
std::string_view TerminatedText(std::string_view page);

// The five parts of the combined security data answer.
struct SecurityDataParts {
  int32_t local_groups_level = 0;  // "LOCALGROUPLEVEL", read like atoi
  std::string server_timestamp;    // "SERVERTIMESTAMP"
  std::string applications;        // "APPLCACHE", CDATA wrapper removed
  std::string roles;               // "ROLECACHE", likewise
  std::string acls;                // "ACLCACHE", likewise
};

// Step one of the split, in place: when the page holds
// "</QRNAPPLS></DOCUMENT>" and the byte right after its first occurrence is
// the NUL that GetWebPage placed, that byte becomes a blank, so the whole
// answer reads as one text again.
void RejoinCombinedAnswer(std::string& page);

// Splits a combined answer (the page as GetWebPage returned it, full length).
// Works on a copy: rejoins it, reads it as terminated text, then takes each
// tag in the order LOCALGROUPLEVEL, SERVERTIMESTAMP, APPLCACHE, ROLECACHE,
// ACLCACHE: "<TAG>" is searched from a position that starts at 0 and moves to
// the start of each part found; the part runs to the next "</TAG>". A part
// whose opening or closing tag is missing is empty (and leaves the position
// where it was). A document part holding "<![CDATA[" loses its first 9 and
// last 3 characters and is trimmed of white space. Pure: storing the parts
// process-wide is the caller's business.
SecurityDataParts SplitCombinedData(std::string_view page);
// The same without the copy: the page is rejoined and cut down in place, and
// its buffer becomes the largest document part. For callers that have no
// further use for the page.
SecurityDataParts SplitCombinedDataInPlace(std::string&& page);

// The old server's date answer: 11 lead-in characters, the timestamp, ";",
// and somewhere "LocalGroupsLevel:" with one digit.
struct OldServerDate {
  std::string timestamp;
  bool has_level = false;  // false: the caller's level stays as it is
  int32_t level = 0;       // the digit after "LocalGroupsLevel:", 0 for a non-digit
};
// With a ";": the timestamp is the text before the first ";" less its first
// 11 characters, and the level is read when "LocalGroupsLevel:" occurs.
// Without a ";": the whole text is the timestamp and no level is read.
OldServerDate ParseOldServerDate(std::string_view page);

// The date-time answer: the whole terminated text is the server timestamp.
std::string ParseDateTimeAnswer(std::string_view page);

// atoi: leading white space skipped, an optional sign, digits up to the first
// non-digit; 0 when there are none; saturates at the int32 range.
int32_t ParseDecimal(std::string_view text);

}  // namespace qrn
