// The component object: interface calls, task queue and worker thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "component/DataCenterQuery.h"
#include "component/DataTask.h"
#include "component/ResponseChecks.h"
#include "component/ResponseStore.h"
#include "component/StatusIniWriter.h"
#include "component/StatusPublisher.h"
#include "config/RimoPaths.h"
#include "config/WizardProperties.h"
#include "platform/ByteStream.h"
#include "platform/Registry.h"
#include "webcomm/KeloHttpComm.h"
#include "rimo/RimoData.h"

namespace rimo::component {

// In asynchronous mode (startWorker == 1) each interface call queues tasks
// and returns; one worker thread runs them in order. Otherwise each call runs
// its work on the caller's thread. The queue is guarded by the status
// object's lock. The status object is not owned and must outlive this object.
// Destruction runs every queued task first. No exception leaves an
// interface call or a task.
class RimoData final : public IRimoData {
 public:
  RimoData(IScDataStatus* status, uint8_t startWorker);
  ~RimoData();
  RimoData(const RimoData&) = delete;
  RimoData& operator=(const RimoData&) = delete;

  void LoadRimoResponseFromFile(const wchar_t* path) override;
  void LoadRimoResponseFromRZ(const wchar_t* userId) override;
  void QueryRimoResponse(const wchar_t* userId) override;

  bool IsAsynchronous() const { return worker_.joinable(); }
  // 0 after a normal end of the worker, 1 after an exception, -1 while it runs.
  int WorkerExitCode() const { return workerExitCode_.load(); }

  // Queues a task as the interface calls do; argument may be null (Stop).
  // The argument must fit the record (the interface calls check this).
  void PushTask(int32_t type, const wchar_t* argument);

  // For a delete that arrives while this object is still running on the
  // calling thread (a host callback on the worker, or inside a synchronous
  // call): the object is released once it has left, and true is returned.
  // False when nothing of it runs here, so the caller may delete it now.
  bool ReleaseWhenLeft();

  // Queues the Stop task; without room for it, a flag ends the worker once
  // its queue is empty. Never throws.
  void RequestStop();

 private:
  static int DataWorkerThreadProc(RimoData* component);
  int ObserveTaskQueue();
  void ExecuteTask(DataTask task);
  void WaitForTask();

  void ExecuteGetFromFile(const wchar_t* path);
  void ExecuteGetFromRz(const wchar_t* userId);
  // Asks the data center, stores a verified response when the settings say
  // so, and records the outcome on the status object and for the status INI.
  QueryResult ExecuteQueryResponse(const wchar_t* userId);
  // The query task: a stored response that still verifies makes the
  // request needless; otherwise the data center is asked.
  void ExecuteQueryTask(const wchar_t* userId);
  // Reads, checks and publishes the TC response in stream.
  void GetCertsFromStream(std::shared_ptr<platform::IByteStream> stream);

  // Refuse an argument that does not fit: reported at once in synchronous
  // mode, in queue order in asynchronous mode. True when it was refused.
  bool RefuseUserId(const wchar_t* userId);
  bool RefusePath(const wchar_t* path);
  void ReportRefusedUserId();
  void ReportRefusedPath();
  // Reports refusal (RefusedUserId or RefusedPath) now, or queues it.
  void Refuse(int32_t refusal);
  // Runs one interface call's work; nothing it throws leaves it.
  template <typename Work>
  void Guarded(const wchar_t* call, Work work);

  IScDataStatus* status_;
  // Service objects; they outlive the worker, which is joined first.
  config::CRimoPaths paths_;
  ResponseChecks checks_;
  StatusPublisher publisher_;
  ResponseStore store_;
  StatusIniWriter statusIni_;
  config::CWizardProperties wizardSettings_;
  WebCommLib::KeloHttpComm http_;
  platform::RegistryFile registry_;
  DataCenterQuery query_;
  std::thread worker_;
  std::mutex wakeMutex_;
  std::condition_variable wakeCondition_;
  bool wakeSignalled_ = false;  // guarded by wakeMutex_
  bool stopWhenIdle_ = false;   // guarded by wakeMutex_
  std::deque<DataTask> taskQueue_;  // guarded by the status lock
  std::atomic<int> workerExitCode_{-1};
  std::atomic<bool> releaseWhenWorkerEnds_{false};
  std::atomic<int> activeCalls_{0};  // interface calls inside this object
  bool releaseAfterCall_ = false;  // touched only by the thread in the synchronous call
};

}  // namespace rimo::component
