// The answer of GET /health, for a load balancer's check: 200 "ok" when the
// instance serves the current data, else 503 with one line saying why.
#pragma once

#include <functional>
#include <string>

#include "server/http_server.h"

namespace qrn::secd {

// True when the data served is the current data; else false with *why.
using ServableCheck = std::function<bool(std::string* why)>;

class HealthCheck {
 public:
  explicit HealthCheck(ServableCheck servable) : servable_(std::move(servable)) {}

  HttpAnswer Answer() const;

 private:
  ServableCheck servable_;
};

}  // namespace qrn::secd
