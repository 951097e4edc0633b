// Component objects deleted from their own worker and not yet released, by
// the status object they still use. Deleting that status object waits for
// them, so that the worker never touches a status object that is gone.
#pragma once

#include <chrono>

#include "rimo/RimoData.h"

namespace rimo::component {

class PendingReleases {
 public:
  static void Add(IScDataStatus* status);
  // The released object no longer touches status.
  static void Done(IScDataStatus* status);
  // Returns once no pending release uses status.
  static void WaitFor(IScDataStatus* status);
  // Waits at most limit for every pending release; true when none is left.
  static bool WaitForAll(std::chrono::milliseconds limit);
};

}  // namespace rimo::component
