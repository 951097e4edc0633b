// Holds a lock on another thread for as long as the holder lives.
#pragma once

#include <functional>
#include <future>
#include <thread>

namespace rimo::testing {

class ForeignHolder {
 public:
  ForeignHolder(std::function<void()> lock, std::function<void()> unlock) {
    thread_ = std::thread([this, lock, unlock] {
      lock();
      held_.set_value();
      release_.get_future().wait();
      unlock();
    });
    held_.get_future().wait();
  }
  ~ForeignHolder() {
    release_.set_value();
    thread_.join();
  }
  ForeignHolder(const ForeignHolder&) = delete;
  ForeignHolder& operator=(const ForeignHolder&) = delete;

 private:
  std::thread thread_;
  std::promise<void> held_;
  std::promise<void> release_;
};

}  // namespace rimo::testing
