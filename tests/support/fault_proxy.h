// Test support: a misbehaving security server, tests/support/fault_proxy.py
// (Python 3) in front of a real qrnsecd on 127.0.0.1. It cuts answers,
// answers documents that are not security documents, answers garbage, or
// sends one byte at a time, as SetMode says; see the script for the modes.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/test_env.h"

namespace qrn::test {

class FaultProxy {
 public:
  // Throws std::runtime_error when the proxy has not started within 10 s.
  explicit FaultProxy(int upstream_port);
  ~FaultProxy();  // kills the proxy and waits for it
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  // The base URL for a page path, e.g. url("/mvt/security.aspx").
  std::string url(const std::string& path) const { return base_ + path; }
  // Takes effect with the next request.
  void SetMode(const std::string& mode) const;
  // The target of every request received so far, one per line.
  std::string RequestLog() const;

 private:
  TempDir dir_;
  std::string base_;
  pid_t pid_ = -1;
};

}  // namespace qrn::test
