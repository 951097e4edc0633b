#include "platform/Clock.h"

#include <time.h>

#include <atomic>

namespace rimo::platform {
namespace {

std::atomic<int64_t> g_offsetMs{0};

}  // namespace

int64_t RealTimeMs() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + g_offsetMs.load();
}

void AdvanceClockForTesting(int64_t ms) { g_offsetMs += ms; }

}  // namespace rimo::platform
