// What one run of a piece of work adds to the process: heap allocations,
// the high-water mark of heap bytes, and the resident set's peak growth
// (free heap memory is returned to the system first and the kernel's
// high-water mark reset, so that each run starts from the same ground).
#pragma once

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "AllocationCounter.h"

namespace rimo::bench {

struct MemorySample {
  AllocationSample heap;
  long rssGrowthKiB = 0;
};

inline long StatusKiB(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  const size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, key, n) == 0 && line[n] == ':') value = std::strtol(line + n + 1, nullptr, 10);
  }
  std::fclose(f);
  return value;
}

template <typename Work>
MemorySample MeasureOneRun(Work work) {
  malloc_trim(0);
  const int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    (void)!write(fd, "5", 1);
    close(fd);
  }
  const long before = StatusKiB("VmRSS");
  MemorySample sample;
  AllocationCounter::Start();
  work();
  sample.heap = AllocationCounter::Stop();
  sample.rssGrowthKiB = StatusKiB("VmHWM") - before;
  return sample;
}

}  // namespace rimo::bench
