// A status object that records busy transitions and lets a test wait for
// the worker to finish a drain.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "status/ScDataStatus.h"

namespace rimo::testing {

class RecordingStatus : public status::ScDataStatus {
 public:
  void SetBusy(bool busy) override {
    ScDataStatus::SetBusy(busy);
    std::lock_guard<std::mutex> guard(mutex_);
    busyCalls_.push_back(busy);
    if (!busy) ++idleCount_;
    changed_.notify_all();
  }

  std::vector<bool> BusyCalls() {
    std::lock_guard<std::mutex> guard(mutex_);
    return busyCalls_;
  }

  // Waits until the worker has ended `count` drains in all; false after a
  // generous bound, which only a lost wake-up would reach.
  bool WaitForDrains(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return idleCount_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> busyCalls_;
  int idleCount_ = 0;
};

}  // namespace rimo::testing
