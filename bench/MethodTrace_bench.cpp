// Cost of a method tracer when nothing is written, beside an empty call.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "diag/MethodTrace.h"
#include "diag/TraceSystemAdapter.h"

namespace {

using rimo::diag::TraceSystemAdapter;

__attribute__((noinline)) void EmptyMethod(int* counter) {
  benchmark::DoNotOptimize(counter);
  ++*counter;
}

__attribute__((noinline)) void TracedMethod(int* counter) {
  RIMO_METHOD_TRACE(rimo::diag::category::kDataDll, L"Bench::TracedMethod");
  benchmark::DoNotOptimize(counter);
  ++*counter;
}

void BM_EmptyCall(benchmark::State& state) {
  int counter = 0;
  for (auto _ : state) EmptyMethod(&counter);
}
BENCHMARK(BM_EmptyCall);

void BM_TracedCategoryOff(benchmark::State& state) {
  // The plug-in is loaded and traces another category only.
  setenv("KELO_TRACE", "Some.Other.Category=16", 1);
  setenv("KELO_TRACE_FILE", "/dev/null", 1);
  TraceSystemAdapter adapter([] { return std::vector<std::string>{RIMO_LIB_DIR "/QnTraceSystem001.so"}; });
  if (!adapter.Load()) {
    state.SkipWithError("trace plug-in not found");
    return;
  }
  TraceSystemAdapter* previous = TraceSystemAdapter::SetInstanceForTesting(&adapter);
  int counter = 0;
  for (auto _ : state) TracedMethod(&counter);
  TraceSystemAdapter::SetInstanceForTesting(previous);
}
BENCHMARK(BM_TracedCategoryOff);

void BM_TracedPluginAbsent(benchmark::State& state) {
  TraceSystemAdapter adapter([] { return std::vector<std::string>{}; });
  TraceSystemAdapter* previous = TraceSystemAdapter::SetInstanceForTesting(&adapter);
  int counter = 0;
  for (auto _ : state) TracedMethod(&counter);
  TraceSystemAdapter::SetInstanceForTesting(previous);
}
BENCHMARK(BM_TracedPluginAbsent);

}  // namespace

BENCHMARK_MAIN();
