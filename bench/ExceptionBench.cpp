// Exception construction, which walks and symbolises the stack, next to a
// bare unwind of the same stack (_Unwind_Backtrace) in the same run. The cold
// case measures the first walk of a module set: a dlopen/dlclose between
// iterations changes the set, so the symbol session is rebuilt.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <kw/Exception.h>
#include <unwind.h>

namespace {

_Unwind_Reason_Code countFrame(_Unwind_Context* context, void* data) {
  ++*static_cast<int*>(data);
  benchmark::DoNotOptimize(_Unwind_GetIP(context));
  return _URC_NO_REASON;
}

void BM_BaselineUnwind(benchmark::State& state) {
  for (auto _ : state) {
    int frames = 0;
    _Unwind_Backtrace(&countFrame, &frames);
    benchmark::DoNotOptimize(frames);
  }
}

void BM_ExceptionSteady(benchmark::State& state) {
  kw::Exception warm(1, L"warm", L"f", 1, L"g");
  for (auto _ : state) {
    kw::Exception e(1, L"bench", L"f", 1, L"g");
    benchmark::DoNotOptimize(e.getStackTrace());
  }
}

void BM_ExceptionColdModuleSet(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    void* handle = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (handle) dlclose(handle);
    state.ResumeTiming();
    kw::Exception e(1, L"bench", L"f", 1, L"g");
    benchmark::DoNotOptimize(e.getStackTrace());
  }
}

}  // namespace

BENCHMARK(BM_ExceptionColdModuleSet)->Unit(benchmark::kMicrosecond)->Iterations(20);
BENCHMARK(BM_ExceptionSteady)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BaselineUnwind)->Unit(benchmark::kMicrosecond);
