// The web document client: every security-server request goes through
// GetWebPage, which fetches one URL with a plain GET and judges the text.
//
// Process-wide state (one copy per process): the root internet session
// (opened by the first call that gets past the reachability test, closed
// when the library is unloaded) and the receive timeout in seconds
// (kept by the configuration, HttpTimeout(); -1 = not known yet). One
// process-wide lock serialises GetWebPage; SetHTTPTimeout stores through the
// configuration's lock and applies from the next request on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qrn {

constexpr char kWebSource[] = "security/common/web";
constexpr char kDocumentEnd[] = "</DOCUMENT>";
constexpr char kAspErrorPage[] = "<html>Error in ASP</html>";
constexpr char kWebAgent[] = "QRNSnapin";
constexpr char kHttpTimeoutValue[] = "HTTPTimeOut";
constexpr char kNetworkTestValue[] = "NetworkTest";
// Overall deadline of one request in seconds (REG_DWORD under the
// configuration key); absent or 0: 120 s.
constexpr char kHttpTotalTimeoutValue[] = "HTTPTotalTimeOut";

// Fetches url and appends the body received to page (callers pass it empty).
// Returns true when a document was received and judged good:
//  - the text holds "</DOCUMENT>": good; the byte right after the first such
//    tag is set to NUL (unless the tag ends the text), so page keeps its
//    full length while page.c_str() reads as the first document only;
//  - else it holds "error" or "Error": failure;
//  - else it holds "</html>": failure; with report_errors the text becomes
//    "<html>Error in ASP</html>";
//  - else: good, unchanged.
// With report_errors each failure above adds an entry to authorizationTrail
// (step "Making the Web Call " + url, E_FAIL, detail: the page text).
// A final HTTP status of 400 or more is a failure whatever the body holds:
// when the body would have been judged good, it is treated like the
// "</html>" case (the body is never handed back as a document).
// Failures to reach the host, open the session, connect, receive within the
// timeout, or a body over 64 MiB return false with no trail entry and leave
// page as it was. Never throws.
//
// Before the session is first opened, a non-zero "NetworkTest" makes the
// call test the URL's host with PingHost; an unreachable host fails the call
// and the next call tests again. "HTTPTimeOut" is read on every call while
// the timeout is not known; a known timeout t applies t * 1000 ms (990 ms for
// 0) as the receive timeout of the request. Whatever the receive timeout,
// a request ends after "HTTPTotalTimeOut" seconds (default 120) in all.
bool GetWebPage(std::string url, std::string& page, bool report_errors);

// Sets the process-wide receive timeout in seconds; -1 makes GetWebPage read
// "HTTPTimeOut" again.
void SetHTTPTimeout(int32_t seconds);

// The host part of url, copied with a NUL into buffer when it is shorter than
// size; false otherwise. The host starts after "://" (or 3 characters after
// ":\"), ends at '/', '\', '?' or the end, starts after a user-info '@' and
// ends before a port ':'.
bool ExtractHostName(const char* url, char* buffer, size_t size);

}  // namespace qrn
