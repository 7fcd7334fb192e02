// A loopback TCP port that was free a moment ago, for test servers that must
// be told their port before they start (slapd, postgres).
#pragma once

namespace qrn::test {

// 0 when none could be had.
int FreeLoopbackPort();

}  // namespace qrn::test
