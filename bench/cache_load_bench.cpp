// Loading a cache folder of about 20 MiB of documents as a load from the
// local cache does it (QrnCheckCachedFiles, then the roles and the ACL store
// from the loaded documents), beside the floor of that work in the same run:
// reading the four files and taking their MD5. The load reports the floor
// and its ratio to it as counters: x_floor on the wall clock (the least of
// five floor runs), x_floor_cpu on the process's CPU time, steadier on a
// busy machine. A fresh `qrnauth load` of the same folder in a child process
// reports the same ratios and its peak resident memory beside the documents'
// size (rss_x_doc).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/large_data.h"
#include "platform/file_io.h"
#include "qrnauth/qrnrole.h"
#include "security/common/qrnacl.h"
#include "security/common/qrncache.h"
#include "security/common/qrncache_files.h"
#include "security/common/role_records.h"

namespace {

struct Folder {
  std::string path;
  size_t document_bytes = 0;  // the three documents in plain text
  size_t file_bytes = 0;      // the four files on disk
  size_t members = 0;
};

const Folder& LargeFolder() {
  static const Folder folder = [] {
    Folder f;
    f.path = qrn::bench::PrepareBenchEnvironment("http://127.0.0.1:9/mvt/security.aspx");
    const qrn::bench::LargeData data = qrn::bench::MakeLargeData();
    f.document_bytes = data.applications.size() + data.roles.size() + data.acls.size();
    f.members = data.members;
    if (f.path.empty() || !qrn::bench::WriteLargeCacheFolder(data, f.path)) {
      std::fprintf(stderr, "cannot write the cache folder\n");
      std::exit(1);
    }
    for (const char* name : {qrn::kApplicationCacheFile, qrn::kRoleCacheFile, qrn::kAclCacheFile,
                             qrn::kTimestampFile}) {
      std::string content;
      qrn::platform::ReadWholeFile(f.path + name, &content);
      f.file_bytes += content.size();
    }
    return f;
  }();
  return folder;
}

// Reads the four files and digests them; false on a failure.
bool ReadAndDigest(const Folder& folder) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1;
  for (const char* name :
       {qrn::kApplicationCacheFile, qrn::kRoleCacheFile, qrn::kAclCacheFile, qrn::kTimestampFile}) {
    std::string content;
    ok = ok && qrn::platform::ReadWholeFile(folder.path + name, &content) &&
         EVP_DigestUpdate(ctx, content.data(), content.size()) == 1;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  ok = ok && EVP_DigestFinal_ex(ctx, digest, &size) == 1;
  benchmark::DoNotOptimize(digest);
  EVP_MD_CTX_free(ctx);
  return ok;
}

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Floor {
  double wall = 1e9;
  double cpu = 1e9;
};

// The least of five runs, on the wall clock and in CPU time.
Floor FloorSeconds(const Folder& folder) {
  Floor best;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu = CpuSeconds();
    ReadAndDigest(folder);
    best.cpu = std::min(best.cpu, CpuSeconds() - cpu);
    best.wall = std::min(
        best.wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

void BM_ReadAndMd5Floor(benchmark::State& state) {
  const Folder& folder = LargeFolder();
  for (auto _ : state)
    if (!ReadAndDigest(folder)) state.SkipWithError("cannot read the cache files");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * folder.file_bytes));
}
BENCHMARK(BM_ReadAndMd5Floor)->Unit(benchmark::kMillisecond);

void BM_CacheFolderLoad(benchmark::State& state) {
  const Folder& folder = LargeFolder();
  const Floor floor = FloorSeconds(folder);
  size_t roles = 0;
  double total = 0, check = 0, role_load = 0, acl_load = 0, cpu = 0;
  using Clock = std::chrono::steady_clock;
  auto seconds = [](Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
  };
  for (auto _ : state) {
    const auto start = Clock::now();
    const double cpu_start = CpuSeconds();
    int16_t status = 0;
    IQrnXml2 *application = nullptr, *role = nullptr, *acl = nullptr;
    if (FAILED(qrn::QrnCheckCachedFiles(&status, &application, &role, &acl)) || status != 1 ||
        role == nullptr || acl == nullptr) {
      state.SkipWithError("the cache folder did not validate");
      break;
    }
    const auto checked = Clock::now();
    {
      CQRNRoleList list;
      qrn::RoleRecords::LoadDeferred(&list, 1, role);
      const auto roles_loaded = Clock::now();
      qrn::CQRNAclStore store;
      if (!store.BuildACLFromWeb("", -1, acl)) state.SkipWithError("no ACL document");
      roles = list.roles.size();
      benchmark::DoNotOptimize(store.AclAllows("Role0000", "App00.Group00.Object00", 1));
      application->Release();
      role->Release();
      acl->Release();
      const auto end = Clock::now();
      cpu += CpuSeconds() - cpu_start;
      check += seconds(start, checked);
      role_load += seconds(checked, roles_loaded);
      acl_load += seconds(roles_loaded, end);
      total += seconds(start, end);
      state.PauseTiming();  // freeing the records is not part of the load
    }
    state.ResumeTiming();
  }
  state.counters["roles"] = static_cast<double>(roles);
  state.counters["members"] = static_cast<double>(folder.members);
  state.counters["doc_MiB"] = static_cast<double>(folder.document_bytes) / (1 << 20);
  state.counters["floor_ms"] = floor.wall * 1e3;
  if (state.iterations() > 0) {
    const double n = static_cast<double>(state.iterations());
    state.counters["check_ms"] = check / n * 1e3;  // validation and the three documents
    state.counters["roles_ms"] = role_load / n * 1e3;
    state.counters["acl_ms"] = acl_load / n * 1e3;
    state.counters["x_floor"] = total / n / floor.wall;
    state.counters["x_floor_cpu"] = cpu / n / floor.cpu;
  }
}
BENCHMARK(BM_CacheFolderLoad)->Unit(benchmark::kMillisecond)->Iterations(3);

// The member records alone, as the load makes them (one record per member,
// its name copied in), against the same floor: the part of the load that
// the records' layout (the hosts' ABI) fixes.
void BM_MemberRecordsOnly(benchmark::State& state) {
  const Folder& folder = LargeFolder();
  const Floor floor = FloorSeconds(folder);
  double cpu = 0;
  for (auto _ : state) {
    const double start = CpuSeconds();
    std::vector<CQRNRoleMemberUser*> records;
    records.reserve(folder.members);
    for (size_t i = 0; i < folder.members; ++i) {
      auto* record = new CQRNRoleMemberUser();
      std::memcpy(record->memberName, "DOM\\user12345", 14);
      records.push_back(record);
    }
    cpu += CpuSeconds() - start;
    state.PauseTiming();
    for (CQRNRoleMemberUser* record : records) delete record;
    state.ResumeTiming();
  }
  if (state.iterations() > 0)
    state.counters["x_floor_cpu"] = cpu / static_cast<double>(state.iterations()) / floor.cpu;
}
BENCHMARK(BM_MemberRecordsOnly)->Unit(benchmark::kMillisecond)->Iterations(3);

// `qrnauth load` in a fresh process over the cache folder (the configured
// server does not answer, so the cache is used), as a host that starts, loads
// and answers pays it: wall time and CPU time against the floor, and the
// child's peak resident memory against the documents' size. The child runs
// under /usr/bin/time, which reports the peak: a child forked straight from
// this process would count this process's own memory in its peak.
void BM_FreshProcessLoad(benchmark::State& state) {
  const Folder& folder = LargeFolder();
  const Floor floor = FloorSeconds(folder);
  const std::string program = std::string(QRNAUTH_BINARY_DIR) + "/qrnauth";
  const std::string report = folder.path + "time.txt";
  double wall = 0, cpu = 0, peak_kib = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
      const int null = open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, 1);
      execl("/usr/bin/time", "/usr/bin/time", "-f", "%M %e %U %S", "-o", report.c_str(),
            program.c_str(), "load", "--user", "DOM\\user1", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      state.SkipWithError("qrnauth load failed (or /usr/bin/time is missing)");
      break;
    }
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double kib = 0, elapsed = 0, user = 0, system = 0;
    FILE* file = std::fopen(report.c_str(), "r");
    const bool read = file != nullptr &&
                      std::fscanf(file, "%lf %lf %lf %lf", &kib, &elapsed, &user, &system) == 4;
    if (file != nullptr) std::fclose(file);
    if (!read) {
      state.SkipWithError("no report from /usr/bin/time");
      break;
    }
    cpu += user + system;
    peak_kib = std::max(peak_kib, kib);
  }
  state.counters["doc_MiB"] = static_cast<double>(folder.document_bytes) / (1 << 20);
  state.counters["floor_ms"] = floor.wall * 1e3;
  state.counters["peak_rss_MiB"] = peak_kib / 1024;
  state.counters["rss_x_doc"] = peak_kib * 1024 / static_cast<double>(folder.document_bytes);
  if (state.iterations() > 0) {
    const double n = static_cast<double>(state.iterations());
    state.counters["x_floor"] = wall / n / floor.wall;
    state.counters["x_floor_cpu"] = cpu / n / floor.cpu;
  }
}
BENCHMARK(BM_FreshProcessLoad)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
