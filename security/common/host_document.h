// Host document requests: a form post to a page of the framework's web
// server, answered as text. Shares nothing with GetWebPage.
#pragma once

#include <string>
#include <string_view>

#include "qrnauth/oleauto.h"

namespace qrn {

// Posts form_data (with its terminating NUL byte as the last body byte) to
// url with the headers "Accept: text/*", "User-Agent: WKZ" and
// "Content-type: application/x-www-form-urlencoded", offering user and
// password (both may be null) when the server asks for credentials, and
// follows one 301/302/303 redirect to an absolute http URL by a GET
// without credentials and without a body. The answer:
//   - the final status as a decimal number when it is 400 or above (800 to
//     825 are the framework's own codes and come back the same way);
//   - "800" when the final status is below 400 and the response head
//     contains "MVT Error:";
//   - else the body with every carriage return dropped;
//   - "800 " + the internet layer's message when a request fails there
//     (no connection, timeout, answer over the size limits);
//   - empty when the URL is neither http nor https, a redirect names no
//     location or one that is not an absolute http URL, or the redirected
//     request is not answered with 200.
std::string RequestHttpDocument(std::string_view url, std::string_view form_data, const char* user,
                                const char* password);

// The answer as a new BSTR (UTF-8 to UTF-16); null when memory ran out.
BSTR AnswerToBstr(const std::string& answer);

}  // namespace qrn
