// LoadRimoResponseFromFile in synchronous mode, through the exports, beside
// the load floor of Floor.h on the same file. Each also reports, for one
// load, the heap allocations, the heap's high-water mark and the resident
// set's peak growth. Run with --benchmark_enable_random_interleaving=true
// and repetitions to rotate the order.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <fstream>
#include <map>

#include "BenchSupport.h"
#include "Floor.h"
#include "PeakMemory.h"
#include "rimo/RimoData.h"
#include "rimo/RimoStatusCodes.h"

namespace {

using namespace rimo;

bench::BenchMachine& Machine() {
  static bench::BenchMachine machine;
  return machine;
}

const std::string& ResponseWith(int n) {
  static std::map<int, std::string> paths;
  std::string& path = paths[n];
  if (path.empty()) {
    path = Machine().root() + "/response-" + std::to_string(n) + ".xml";
    std::ofstream(path) << bench::TcResponseWith(Machine().tc, n);
  }
  return path;
}

void Report(benchmark::State& state, const bench::MemorySample& one) {
  state.counters["allocs_per_load"] = static_cast<double>(one.heap.allocations);
  state.counters["peak_heap_KiB"] = static_cast<double>(one.heap.peakBytes) / 1024.0;
  state.counters["peak_rss_growth_KiB"] = static_cast<double>(one.rssGrowthKiB);
}

void BM_LoadFloor(benchmark::State& state) {
  const std::string& path = ResponseWith(static_cast<int>(state.range(0)));
  bench::floor::Loader loader(Machine().tc.root.get());
  bench::floor::Published published;
  auto load = [&] {
    std::string file;
    if (!bench::floor::ReadFile(path, &file) || !loader.Load(file.data(), file.size(), &published)) {
      state.SkipWithError("floor did not load");
    }
  };
  load();
  for (auto _ : state) load();
  Report(state, bench::MeasureOneRun(load));
}

struct Library {
  void* handle = dlopen(RIMO_LIB_DIR "/librimodata.so", RTLD_NOW | RTLD_LOCAL);
  IScDataStatus* (*createStatus)() =
      reinterpret_cast<IScDataStatus* (*)()>(dlsym(handle, "CreateRimoDataStatusObject"));
  bool (*deleteStatus)(IScDataStatus*) =
      reinterpret_cast<bool (*)(IScDataStatus*)>(dlsym(handle, "DeleteRimoDataStatusObject"));
  IRimoData* (*create)(IScDataStatus*, uint8_t) =
      reinterpret_cast<IRimoData* (*)(IScDataStatus*, uint8_t)>(dlsym(handle, "CreateRimoDataObject"));
  bool (*destroy)(IRimoData*) = reinterpret_cast<bool (*)(IRimoData*)>(dlsym(handle, "DeleteRimoDataObject"));
};

void BM_LoadSynchronous(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string& path = ResponseWith(n);
  static Library lib;
  IScDataStatus* status = lib.createStatus();
  IRimoData* component = lib.create(status, 0);
  const std::wstring widePath(path.begin(), path.end());
  auto load = [&] {
    component->LoadRimoResponseFromFile(widePath.c_str());
    if (status->GetErrorKind() != codes::kErrorNone || status->GetCertificateList()->Count() != static_cast<unsigned>(n)) {
      state.SkipWithError("response not published");
    }
  };
  load();
  for (auto _ : state) load();
  Report(state, bench::MeasureOneRun(load));
  lib.destroy(component);
  lib.deleteStatus(status);
}

BENCHMARK(BM_LoadFloor)->Arg(3)->Arg(1000)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", bench::Minimum);
BENCHMARK(BM_LoadSynchronous)->Arg(3)->Arg(1000)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", bench::Minimum);

}  // namespace

BENCHMARK_MAIN();
