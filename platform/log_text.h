// Text written to a log line (the diagnostic log, the event log) comes
// partly from outside: user names, server answers, file names. A control
// character in it could end the line and start one of the writer's choosing,
// so every such text goes through one escaping helper first.
#pragma once

#include <string>
#include <string_view>

namespace qrn::platform {

// text with each control character (U+0000..U+001F, U+007F) written as
// "\n", "\r", "\t" or "\xHH". Everything else, backslashes and non-ASCII
// UTF-8 included, is kept, so names such as "SALES\bob" read as they are.
std::string EscapeLogText(std::string_view text);

}  // namespace qrn::platform
