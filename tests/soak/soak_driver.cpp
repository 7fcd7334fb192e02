// Soak driver: thousands of load and refresh cycles in one process against a
// real qrnsecd whose data changes and which is stopped and started at random.
//
//   qrnauth_soak [--cycles N] [--seed S]
//
// Every answer is checked against the data in force:
// - the check answer must belong to the data version that the loaded
//   timestamp names (never a new timestamp over old roles or the reverse);
// - with the server up, a load or refresh that succeeded must have the
//   server's current version;
// - with the server down, the data must be the last version that any load
//   took from the server (what the cache files hold).
// Resident memory is reported at the start (after the first load) and at the
// end. Prints "soak: N passed, M failed" and exits 1 on any failure.
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "qrnauth/qrnauthorize.h"
#include "tests/support/secd.h"
#include "tests/support/test_env.h"

namespace {

using qrn::test::SecdProcess;

// Version k publishes a timestamp shaped like a real server's and the roles
// R0 and R1, of which SALES\bob holds R(k % 2). The ACL of Soak.Door gives
// R(k % 2) the mask Mask(k) and the other role Mask(k + 1), so the mask bob
// gets names the version of the data loaded, and a role file of one version
// beside the ACL file of another shows as a wrong version.
std::string Timestamp(int k) {
  char text[64];
  std::snprintf(text, sizeof text, "12/09/2026 %02d:%02d:%02d %s +%d", (k / 3600) % 12 + 1,
                (k / 60) % 60, k % 60, (k / 43200) % 2 ? "PM" : "AM", k);
  return text;
}

constexpr int kVersionBits = 12;
unsigned Mask(int k) { return (static_cast<unsigned>(k % (1 << kVersionBits)) << 1) | 1u; }

// Padding objects make the answer long enough (some 200 KB) for a kill to
// cut it in the middle.
constexpr int kPadding = 1500;

std::string DataJson(int k) {
  const int mine = k % 2;
  std::string objects, acls;
  for (int i = 0; i < kPadding; ++i) {
    char text[160];
    std::snprintf(text, sizeof text,
                  R"(, {"name": "Soak.Pad%04d", "id": "{5A0C0000-0000-4000-8000-1000%08d}"})", i, i);
    objects += text;
    std::snprintf(text, sizeof text, R"(, "Soak.Pad%04d": "R0:1;R1:1")", i);
    acls += text;
  }
  auto role = [&](int r) {
    return R"({"id": "{5A0C0000-0000-4000-8000-00000000001)" + std::to_string(r) +
           R"(}", "name": "R)" + std::to_string(r) + R"(", "groups": [], "users": [)" +
           (r == mine ? R"("SALES\\bob")" : "") + "]}";
  };
  const std::string acl = "R" + std::to_string(mine) + ":" + std::to_string(Mask(k)) + ";R" +
                          std::to_string(1 - mine) + ":" + std::to_string(Mask(k + 1));
  return std::string(R"({"format": 1, "timestamp": ")") + Timestamp(k) +
         R"(", "applications": [{"name": "Soak", "id": "{5A0C0000-0000-4000-8000-000000000001}",)"
         R"( "groups": [{"name": "Doors", "id": "{5A0C0000-0000-4000-8000-000000000002}",)"
         R"( "objects": [{"name": "Soak.Door", "id": "{5A0C0000-0000-4000-8000-000000000003}"})" +
         objects + R"(]}]}], "roles": [)" + role(0) + ", " + role(1) +
         R"(], "acls": {"Soak.Door": ")" + acl + "\"" + acls + "}}";
}

// The version whose mask bob holds on Soak.Door, -1 when it is no mask of ours.
int GrantedVersion(CQRNAuthorize& authorizer) {
  unsigned mask = 0;
  for (int bit = 0; bit <= kVersionBits; ++bit)
    if (authorizer.CheckAccess("SALES\\bob", "Soak.Door", 1u << bit)) mask |= 1u << bit;
  return (mask & 1u) ? static_cast<int>(mask >> 1) : -1;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

std::string LoadedTimestamp(CQRNAuthorize& authorizer) {
  CQRNRoleList* roles = nullptr;
  BSTR stamp = nullptr;
  if (FAILED(authorizer.GetRolesCache(&roles, &stamp)) || stamp == nullptr) return {};
  std::string text;
  for (const OLECHAR* p = stamp; *p; ++p) text += static_cast<char>(*p);  // ASCII timestamps
  SysFreeString(stamp);
  return text;
}

struct Soak {
  qrn::test::HiveSandbox sandbox;
  qrn::test::TempDir data_dir;
  std::string data_file = data_dir.File("soak.json");
  std::unique_ptr<SecdProcess> secd;
  int port = 0;
  int current = 0;      // version in the data file
  int last_loaded = -1;  // newest version a load took from the server
  long passed = 0, failed = 0;

  void Start() {
    std::vector<std::string> args;
    if (port) args = {"--listen", "127.0.0.1:" + std::to_string(port)};
    secd = std::make_unique<SecdProcess>(data_file, args);
    port = secd->port();
  }

  void Fail(long cycle, const std::string& what) {
    ++failed;
    if (failed <= 20) std::fprintf(stderr, "soak: cycle %ld: %s\n", cycle, what.c_str());
  }

  // Checks one loaded authorizer against the data in force. A refresh asks the server again: it must find the version in force. A
  // fresh authorizer's InitCache goes by the process-wide server decision,
  // so it must find what the last refresh found.
  int decided = 0;
  // When the server was killed during the load (killed_during), the load may
  // have got the whole answer or none of it: both versions are right.
  void Verify(long cycle, CQRNAuthorize& authorizer, bool loaded, const char* how,
              bool refresh, bool killed_during = false) {
    const bool up = secd != nullptr;
    if (!loaded) {
      // A load may fail only when neither the server nor a cache can answer.
      if ((up || last_loaded >= 0) && !killed_during) Fail(cycle, std::string(how) + " failed");
      else ++passed;
      return;
    }
    // The timestamp is the server's when the data came from the server, and
    // empty when it came from the cache files.
    const std::string stamp = LoadedTimestamp(authorizer);
    const int version = GrantedVersion(authorizer);
    const int expected = !refresh ? decided : up ? current : last_loaded;
    const int wrap = 1 << kVersionBits;
    int found = expected;
    bool ok = version == expected % wrap && (stamp.empty() || stamp == Timestamp(expected));
    if (killed_during && !ok && version == current % wrap &&
        (stamp.empty() || stamp == Timestamp(current))) {
      ok = true;
      found = last_loaded = current;
    }
    if (refresh && ok && up) last_loaded = current;
    if (refresh) decided = ok ? found : version;
    if (ok) {
      ++passed;
    } else {
      Fail(cycle, std::string(how) + ": loaded \"" + stamp + "\" granting version " +
                      std::to_string(version) + ", expected version " +
                      std::to_string(expected) +
                      (up ? " (server up)" : " (server down)"));
    }
  }
};

}  // namespace

// Called by the program in tests/support/test_program.cpp (see tests/CMakeLists.txt).
extern "C" int QrnTestModuleMain(int argc, char** argv) {
  long cycles = 10000;
  unsigned seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--cycles") cycles = std::atol(argv[i + 1]);
    else if (flag == "--seed") seed = static_cast<unsigned>(std::atol(argv[i + 1]));
    else {
      std::fprintf(stderr, "usage: qrnauth_soak [--cycles N] [--seed S]\n");
      return 2;
    }
  }
  Soak soak;
  qrn::test::WriteDataFile(soak.data_file, DataJson(0));
  soak.Start();
  soak.sandbox.WriteMachineHive(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\MVT]\r\n\"URL\"=\"" +
      soak.secd->url() +
      "\"\r\n\"NTGroupSupport\"=dword:00000000\r\n\"LogInfoToServer\"=dword:00000000\r\n\r\n");

  std::mt19937 random(seed);
  auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  CQRNAuthorize longlived;
  soak.Verify(0, longlived, longlived.InitCache("SALES\\bob", 3), "first InitCache", true);
  const long rss_start = ResidentKiB();
  long restarts = 0, changes = 0, kills = 0;
  for (long cycle = 1; cycle <= cycles; ++cycle) {
    const bool changed = chance(10);
    if (changed) {
      qrn::test::WriteDataFile(soak.data_file, DataJson(++soak.current));
      ++changes;
    }
    if (chance(2)) {
      if (soak.secd) {
        soak.secd.reset();
      } else {
        soak.Start();
        ++restarts;
      }
    }
    if (soak.secd && changed && chance(10)) {
      // The server dies while a refresh reads its new data: SIGKILL after a
      // random pause of up to 3 ms, so the answer may be cut anywhere.
      const pid_t pid = soak.secd->pid();
      const auto pause = std::chrono::microseconds(random() % 3000);
      std::thread killer([pid, pause] {
        std::this_thread::sleep_for(pause);
        kill(pid, SIGKILL);
      });
      bool refreshed = false;
      const bool loaded = longlived.RefreshCache(refreshed, 3);
      killer.join();
      soak.secd.reset();
      ++kills;
      soak.Verify(cycle, longlived, loaded, "RefreshCache (server killed)", true, true);
    } else if (chance(70)) {
      bool refreshed = false;
      soak.Verify(cycle, longlived, longlived.RefreshCache(refreshed, 3), "RefreshCache", true);
    } else {
      CQRNAuthorize fresh;
      soak.Verify(cycle, fresh, fresh.InitCache("SALES\\bob", 3), "InitCache", false);
    }
    if (cycles >= 10 && cycle % (cycles / 10) == 0)
      std::printf("soak: cycle %ld, resident memory %ld KiB\n", cycle, ResidentKiB());
  }
  const long rss_end = ResidentKiB();
  std::printf("soak: %ld cycles, %ld data changes, %ld server restarts, %ld killed mid-load\n",
              cycles, changes, restarts, kills);
  std::printf("soak: resident memory %ld KiB after the first load, %ld KiB at the end\n",
              rss_start, rss_end);
  std::printf("soak: %ld passed, %ld failed\n", soak.passed, soak.failed);
  return soak.failed ? 1 : 0;
}
