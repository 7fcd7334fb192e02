// The module object: one static instance per process, constructed when the
// library is loaded and destroyed when it is unloaded.
//
// Loading must not depend on the order in which the library's static objects
// are built: the configuration state is a function-local static (Config()),
// and the trails are constant-initialised, so InitInstance may run before or
// after any other static initialiser of the library.
#include "frame/config.h"

namespace qrn {

namespace {

constexpr char kLogInfoToServerValue[] = "LogInfoToServer";
// Authentication records only: the selector when "LogInfoToServer" is unusable.
constexpr int32_t kDefaultAuditSelector = 2;

class CQrnAuthApp {
 public:
  CQrnAuthApp() { InitInstance(); }
  ~CQrnAuthApp() { ExitInstance(); }
  CQrnAuthApp(const CQrnAuthApp&) = delete;
  CQrnAuthApp& operator=(const CQrnAuthApp&) = delete;

  // Reads the audit selector. Loading never fails because of configuration.
  bool InitInstance() noexcept {
    try {
      uint32_t selector = 0;
      SetAuditSelector(ReadDwordValue(platform::RegHive::LocalMachine, kConfigKey,
                                      kLogInfoToServerValue, &selector)
                           ? static_cast<int32_t>(selector)
                           : kDefaultAuditSelector);
    } catch (...) {
      SetAuditSelector(kDefaultAuditSelector);
    }
    return true;
  }

  // Nothing to undo: the configuration caches simply go away.
  int ExitInstance() noexcept { return 0; }
};

CQrnAuthApp theApp;

}  // namespace

}  // namespace qrn
