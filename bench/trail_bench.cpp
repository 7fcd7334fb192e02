// The cost of reporting: a succeeded step (the common case, nothing
// recorded), a recorded report once the trail is full (source text built,
// event copy checked, nothing stored), and the SAFEARRAY element access a
// host uses to read the trail.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include "frame/trail.h"
#include "qrnauth/oleauto.h"

namespace {

void BM_SucceededStep(benchmark::State& state) {
  for (auto _ : state) {
    HRESULT hr = qrn::AddTrailEntry(qrn::authorizationTrail, "security/common/qrncache", 488,
                                    "InitCache.QrnGetCacheFlag", "ReadCache", "Reading Cache files",
                                    0, "Failed to read the Cache files");
    benchmark::DoNotOptimize(hr);
  }
}
BENCHMARK(BM_SucceededStep);

void BM_FailedStepTrailFull(benchmark::State& state) {
  for (int i = 0; i < 6; ++i)
    qrn::AddTrailEntry(qrn::authorizationTrail, "f", i, "F", "G", "s", E_FAIL, "d");
  for (auto _ : state) {
    HRESULT hr = qrn::AddTrailEntry(qrn::authorizationTrail, "security/common/qrncache", 488,
                                    "InitCache.QrnGetCacheFlag", "ReadCache", "Reading Cache files",
                                    E_FAIL, "Failed to read the Cache files");
    benchmark::DoNotOptimize(hr);
  }
}
BENCHMARK(BM_FailedStepTrailFull);

void BM_ReadTrailCell(benchmark::State& state) {
  SAFEARRAYBOUND bounds[2] = {{6, 0}, {4, 0}};
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(u"Reading Cache files");
  LONG index[2] = {3, 2};
  SafeArrayPutElement(array, index, &text);
  for (auto _ : state) {
    VARIANT out;
    SafeArrayGetElement(array, index, &out);
    benchmark::DoNotOptimize(out.bstrVal);
    VariantClear(&out);
  }
  VariantClear(&text);
  SafeArrayDestroy(array);
}
BENCHMARK(BM_ReadTrailCell);

}  // namespace

int main(int argc, char** argv) {
  // Keep the machine's configuration (and its event log) out of the figures.
  setenv("QRNAUTH_MACHINE_HIVE", "/nonexistent/machine.reg", 1);
  setenv("QRNAUTH_USER_HIVE", "/nonexistent/user.reg", 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
