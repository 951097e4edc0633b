// The real-time clock in milliseconds, the one the component compares file
// times with. Tests set it forward instead of sleeping past the file times'
// granularity.
#pragma once

#include <cstdint>

namespace rimo::platform {

// Milliseconds since the epoch, plus what a test added.
int64_t RealTimeMs();

// Moves the clock forward by ms for this process (tests only).
void AdvanceClockForTesting(int64_t ms);

}  // namespace rimo::platform
