// The worker of an asynchronous component object: a queue of tasks run in
// order on one thread, and the busy flag around each drain of the queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "component/DataTask.h"
#include "component/StatusPublisher.h"
#include "rimo/RimoData.h"

namespace rimo::component {

class TaskEngine {
 public:
  using Executor = std::function<void(const DataTask&)>;

  // The queue is guarded by status's lock, as the host's view of the work
  // is: a host holding that lock keeps the worker from taking tasks. Both
  // references must outlive the worker.
  TaskEngine(IScDataStatus& status, StatusPublisher& publisher, Executor execute);
  ~TaskEngine();
  TaskEngine(const TaskEngine&) = delete;
  TaskEngine& operator=(const TaskEngine&) = delete;

  // Starts the worker, which keeps owner alive until it has left and runs
  // onLeave (on the worker) just before. False when no thread can be made.
  bool Start(std::shared_ptr<void> owner, std::function<void()> onLeave);
  bool Started() const { return started_; }
  bool OnWorker() const { return started_ && std::this_thread::get_id() == workerId_; }
  // 0 after a normal end of the worker, 1 after an exception, -1 before.
  int ExitCode() const { return exitCode_.load(); }

  void Push(const DataTask& task);
  // Tasks that belong together, queued in one step: the worker never sees
  // the queue run empty between them.
  void Push(const DataTask& first, const DataTask& second);
  // The Stop task; without room for it, a flag ends the worker once its
  // queue is empty. Never throws.
  void RequestStop();
  // Drops every queued task and ends the worker after the running one.
  void Abandon();
  // Waits until the worker has ended; at once when it never ran or on the
  // worker itself. Safe from several threads.
  void Join();
  // Waits at most limit for the worker to leave its loop; true when it did.
  bool WaitUntilLeft(std::chrono::milliseconds limit);


 private:
  int Run();
  // Wakes the worker for what was queued.
  void Signal();
  // The worker's loop: 0 after a normal end, 1 when an exception was met on
  // the way (the worker went on with the queue all the same).
  int ObserveTaskQueue();
  void WaitForWork();

  IScDataStatus& status_;
  StatusPublisher& publisher_;
  Executor execute_;
  std::thread worker_;
  std::thread::id workerId_;
  bool started_ = false;
  std::mutex joinMutex_;
  std::mutex wakeMutex_;
  std::condition_variable wakeCondition_;
  bool wakeSignalled_ = false;  // guarded by wakeMutex_
  bool stopWhenIdle_ = false;   // guarded by wakeMutex_
  bool abandoned_ = false;      // guarded by wakeMutex_
  bool left_ = false;           // guarded by wakeMutex_
  std::deque<DataTask> queue_;  // guarded by the status lock and queueMutex_
  std::mutex queueMutex_;
  std::atomic<int> exitCode_{-1};
};

}  // namespace rimo::component
