// Test support for a whole site on loopback: qrnsecd instances behind a real
// HAProxy, the plain requests the site tests make to them, and a client load
// that runs while an instance is stopped.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/http_client.h"
#include "tests/support/haproxy.h"
#include "tests/support/secd.h"

namespace qrn::test {

// The combined request's page and query, as a client sends it.
inline constexpr char kCombinedRequest[] =
    "/mvt/security.aspx?Object=MvtSecData&Operation=Get&ClientTimestamp=";

// GET in a session of its own, 20 s in all.
platform::HttpResponse HttpGet(const std::string& url);

// http://127.0.0.1:PORT of an instance, for /health and /metrics.
std::string Origin(const SecdProcess& secd);

// The value on the line "NAME VALUE" of a metrics text; -1 when there is none.
double MetricValue(const std::string& text, const std::string& name);

// HAProxy (the example configuration) in front of the instances, named
// secd1, secd2, ... in their order, returned once it sees every one UP.
// Throws std::runtime_error with HAProxy's output after 10 s per instance.
std::unique_ptr<HaproxyProcess> ProxyInFront(
    const std::vector<std::unique_ptr<SecdProcess>>& secds);

struct LoadUnderStop {
  int sent = 0;         // requests made in all
  int answered = 0;     // answered 200 with exactly the expected body
  int before_stop = 0;  // requests finished when the stop began
  int stop_exit = -1;   // the stopped instance's exit status
  std::string failures; // the first failure of each client thread
};

// Four client threads, each on one kept-alive session, make 50 combined
// requests each through the proxy; after the first 40 have finished, `victim`
// is stopped (SIGTERM) while the rest go on. Waits at most 20 s for the 40,
// and each request at most 20 s.
LoadUnderStop CombinedLoadWhileStopping(const HaproxyProcess& proxy, const std::string& expected,
                                        SecdProcess& victim);

}  // namespace qrn::test
