// Counts the process's heap allocations and the high-water mark of the
// bytes they hold (malloc and its family are replaced in the benchmark
// executable, so every library's allocations count).
#pragma once

#include <cstddef>
#include <cstdint>

namespace rimo::bench {

struct AllocationSample {
  uint64_t allocations = 0;
  size_t peakBytes = 0;  // above the live bytes at Start
};

class AllocationCounter {
 public:
  // From here on, allocations are counted and the peak is measured.
  static void Start();
  static AllocationSample Stop();
};

}  // namespace rimo::bench
