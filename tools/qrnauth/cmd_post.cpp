// qrnauth post: a host form post with the saved identity (GetHttpDocument).
#include <iostream>
#include <string>

#include "qrnauth/admin.h"
#include "qrnauth/qrnauthenticate.h"
#include "command.h"

namespace {

int Post(qrn::cli::Arguments& args) {
  const std::string url = args.Next("URL");
  const std::string form = args.NextOptional().value_or("");
  args.Finish();
  CQRNAuthenticate auth;
  BSTR document = nullptr;
  const HRESULT hr = auth.GetHttpDocument(url.c_str(), form.c_str(), &document);
  if (FAILED(hr))
    throw qrn::cli::CommandError("GetHttpDocument failed: " + qrn::cli::FormatHresult(hr));
  const std::string answer =
qrn::admin::BstrToUtf8(document);
  SysFreeString(document);
  std::cout << answer << std::flush;
  return answer.empty() ? qrn::cli::kExitNo : qrn::cli::kExitOk;
}

}  // namespace

QRN_CLI_COMMAND("post", "post form data to a page with the saved identity",
                "usage: qrnauth post URL [FORMDATA]\n"
                "POSTs FORMDATA (sent as it is, followed by one NUL byte) to URL with the\n"
                "credentials of the identity saved by \"qrnauth login --save\" when it is a\n"
                "named identity, and prints the answer exactly as GetHttpDocument gives it,\n"
                "with nothing added: the page text (carriage returns dropped), a status\n"
                "number such as 404 or 801, 800 for an answer marked \"MVT Error:\", or\n"
                "\"800 \" and a message when the server could not be reached.\n"
                "Exit 0 with an answer, 1 when the answer is empty (a URL that is not\n"
                "http or https, or a redirect that could not be followed), 2 on error.",
                Post);
