// A recursive lock that knows its owner: the stand-in for a critical section.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace rimo::platform {

// Thread-safe. Lock waits; TryLock succeeds when the lock is free or already
// held by the calling thread. Unlock by a thread that does not hold the lock
// is ignored (returns false) instead of corrupting the lock.
class RecursiveLock {
 public:
  RecursiveLock() = default;
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Lock() {
    if (HeldByMe()) {
      ++depth_;
      return;
    }
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
  }

  [[nodiscard]] bool TryLock() {
    if (HeldByMe()) {
      ++depth_;
      return true;
    }
    if (!mutex_.try_lock()) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
    return true;
  }

  bool Unlock() {
    if (!HeldByMe()) return false;
    if (--depth_ == 0) {
      owner_.store(std::thread::id(), std::memory_order_relaxed);
      mutex_.unlock();
    }
    return true;
  }

  bool HeldByMe() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  unsigned depth_ = 0;  // touched only by the owner
};

// Scoped holder for a RecursiveLock that is already known to be taken by a
// successful TryLock, or that Lock()s on construction.
class RecursiveLockGuard {
 public:
  explicit RecursiveLockGuard(RecursiveLock& lock) : lock_(lock) { lock_.Lock(); }
  RecursiveLockGuard(RecursiveLock& lock, std::adopt_lock_t) : lock_(lock) {}
  ~RecursiveLockGuard() { lock_.Unlock(); }
  RecursiveLockGuard(const RecursiveLockGuard&) = delete;
  RecursiveLockGuard& operator=(const RecursiveLockGuard&) = delete;

 private:
  RecursiveLock& lock_;
};

}  // namespace rimo::platform
