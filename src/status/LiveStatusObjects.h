// The status objects this library made and has not destroyed yet.
#pragma once

#include "status/ScDataStatus.h"

namespace rimo::status {

class LiveStatusObjects {
 public:
  static void Add(ScDataStatus* status);
  // Takes a live object out of use for its destruction: false, touching
  // nothing, for any pointer that is not a live object of ours.
  static bool BeginRemoval(IScDataStatus* status);
  // The object is forgotten; it may be destroyed now.
  static void FinishRemoval(ScDataStatus* status);
  // Gives back up to record levels of the record lock and list levels of
  // the list lock that this thread holds on each status object of ours,
  // those being destroyed included.
  static void ReleaseLocksHeldByThisThread(int record, int list);
};

}  // namespace rimo::status
