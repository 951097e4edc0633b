#include "component/TaskEngine.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <system_error>

#include "component/ExitGuard.h"
#include "config/DirectoryLibrary.h"
#include "diag/ExceptionTranslator.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "status/ScopedLocks.h"

namespace rimo::component {

using diag::TraceWrite;
using diag::TraceWriteFormat;
using diag::category::kDataDll;
using status::StatusLock;

TaskEngine::TaskEngine(IScDataStatus& status, StatusPublisher& publisher, Executor execute)
    : status_(status), publisher_(publisher), execute_(std::move(execute)) {}

TaskEngine::~TaskEngine() {
  if (!worker_.joinable()) return;
  if (std::this_thread::get_id() == worker_.get_id()) {
    // The worker let go of the last owner: it is on its way out, and is
    // joined before the process ends or the library goes.
    ExitGuard::Adopt(std::move(worker_));
    return;
  }
  RequestStop();
  Join();
}

bool TaskEngine::Start(std::shared_ptr<void> owner, std::function<void()> onLeave) {
  try {
    std::promise<long> started;
    std::future<long> threadId = started.get_future();
    // The thread owns the promise, so that Start's return cannot pull it
    // away while the value is being set.
    worker_ = std::thread([this, owner = std::move(owner), onLeave = std::move(onLeave),
                           started = std::move(started)]() mutable {
      started.set_value(syscall(SYS_gettid));
      {
        // A fault on this thread leaves a dump behind (and, where the
        // installation asks for it, restarts the host).
        diag::ExceptionTranslator translator(&config::ComponentLogDirectory);
        exitCode_.store(Run());
      }
      onLeave();
      {
        std::lock_guard<std::mutex> guard(wakeMutex_);
        left_ = true;
        wakeCondition_.notify_all();
      }
      // owner goes with this function object, after the last touch of this.
    });
    workerId_ = worker_.get_id();
    started_ = true;
    ExitGuard::WorkerStarted();
    TraceWriteFormat(diag::Info, kDataDll, L"DataWorkerThread wurde mit der ID[%d] erzeugt.",
                     static_cast<int>(threadId.get()));
    return true;
  } catch (const std::system_error& e) {
    TraceWriteFormat(diag::Error, kDataDll,
                     L"DataWorkerThread konnte nicht erzeugt werden (%S). Die Aufträge werden "
                     L"synchron ausgeführt.",
                     e.what());
    return false;
  }
}

void TaskEngine::Push(const DataTask& task) {
  {
    StatusLock lock(&status_);
    std::lock_guard<std::mutex> guard(queueMutex_);
    queue_.push_back(task);
  }
  Signal();
}

void TaskEngine::Push(const DataTask& first, const DataTask& second) {
  {
    StatusLock lock(&status_);
    std::lock_guard<std::mutex> guard(queueMutex_);
    queue_.push_back(first);
    try {
      queue_.push_back(second);
    } catch (...) {
      queue_.pop_back();  // both or neither
      throw;
    }
  }
  Signal();
}

void TaskEngine::Signal() {
  TraceWrite(diag::Detail, kDataDll,
             L"Das Event zum Starten der Verarbeitung eines neuen Tasks wird signalisiert.");
  // Signalled under the mutex: once it is released, this call no longer
  // touches the condition, whatever the worker does next.
  std::lock_guard<std::mutex> guard(wakeMutex_);
  wakeSignalled_ = true;
  wakeCondition_.notify_one();
}

void TaskEngine::RequestStop() {
  try {
    RIMO_METHOD_TRACE(kDataDll, L"RimoData::PushTask");
    DataTask stop;
    stop.type = TaskType::Stop;
    Push(stop);
  } catch (...) {
    // No room for the Stop task: the flag ends the worker after the queue.
    std::lock_guard<std::mutex> guard(wakeMutex_);
    stopWhenIdle_ = true;
    wakeSignalled_ = true;
    wakeCondition_.notify_one();
  }
}

void TaskEngine::Abandon() {
  std::deque<DataTask> dropped;
  {
    std::lock_guard<std::mutex> guard(queueMutex_);
    dropped.swap(queue_);
  }
  std::lock_guard<std::mutex> guard(wakeMutex_);
  abandoned_ = true;
  wakeSignalled_ = true;
  wakeCondition_.notify_one();
}

void TaskEngine::Join() {
  std::lock_guard<std::mutex> guard(joinMutex_);
  if (!worker_.joinable() || std::this_thread::get_id() == worker_.get_id()) return;
  try {
    worker_.join();
    ExitGuard::WorkerJoined();
  } catch (const std::system_error&) {
    TraceWrite(diag::Error, kDataDll,
               L"WaitForSingleObject wurde mit einem Fehler beendet - Der DataWorkerThread wurde "
               L"nicht korrekt beendet.");
    worker_.detach();
  }
}

bool TaskEngine::WaitUntilLeft(std::chrono::milliseconds limit) {
  if (!started_) return true;
  std::unique_lock<std::mutex> lock(wakeMutex_);
  return wakeCondition_.wait_for(lock, limit, [this] { return left_; });
}

void TaskEngine::WaitForWork() {
  std::unique_lock<std::mutex> lock(wakeMutex_);
  wakeCondition_.wait(lock, [this] { return wakeSignalled_; });
  // Reset before the queue is drained: a push during the drain signals again.
  wakeSignalled_ = false;
}

int TaskEngine::Run() {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::DataWorkerThreadProc");
  return ObserveTaskQueue();
}

int TaskEngine::ObserveTaskQueue() {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ObserveTaskQueue");
  bool busy = false;
  bool stopRequested = false;
  int failures = 0;
  while (!stopRequested) {
    // An exception in one drain (no memory, say) is traced; the worker goes
    // on with the queue, so that no later job is silently dropped.
    try {
      TraceWrite(diag::Detail, kDataDll, L"DataWorkerThread wartet auf einen Task.");
      WaitForWork();
      TraceWrite(diag::Detail, kDataDll, L"Task-Event wurde gesetzt.");
      for (;;) {
        DataTask task;
        {
          StatusLock lock(&status_);
          std::lock_guard<std::mutex> guard(queueMutex_);
          if (queue_.empty()) break;
          task = queue_.front();
          queue_.pop_front();
        }
        if (!busy) {
          TraceWrite(diag::Info, kDataDll, L"Thread wird als 'busy' gekennzeichnet.");
          publisher_.SetBusy(true);
          busy = true;
        }
        TraceWriteFormat(diag::Info, kDataDll, L"Task mit dem TaskTyp [%d] wurde aus der Queue gelesen.",
                         task.type);
        if (task.type == TaskType::Stop) {
          stopRequested = true;
        } else {
          TraceWrite(diag::Info, kDataDll, L"Task wird verarbeitet.");
          execute_(task);
        }
      }
      {
        std::lock_guard<std::mutex> guard(wakeMutex_);
        if (stopWhenIdle_ || abandoned_) stopRequested = true;
      }
      if (busy) {
        TraceWrite(diag::Info, kDataDll, L"Der Status 'busy' wird zurückgesetzt.");
        publisher_.SetBusy(false);
        busy = false;
      }
    } catch (...) {
      TraceWrite(diag::Critical, kDataDll, L"Es ist ein Fehler im DataWorker-Thread aufgetreten!");
      // The next drain starts over; a wake-up is kept so that what is still
      // queued is taken (not for ever: a failure that repeats without end
      // leaves the rest to the next push).
      std::lock_guard<std::mutex> guard(wakeMutex_);
      if (++failures < 100) wakeSignalled_ = true;
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace rimo::component
