// The component object: the interface calls a host makes, and the core that
// does their work, on the caller's thread or on a worker.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "component/DataCenterQuery.h"
#include "component/DataTask.h"
#include "component/DetachableStatus.h"
#include "component/ResponseChecks.h"
#include "component/ResponseStore.h"
#include "component/StatusIniWriter.h"
#include "component/StatusPublisher.h"
#include "component/TaskEngine.h"
#include "config/RimoPaths.h"
#include "config/WizardProperties.h"
#include "platform/ByteStream.h"
#include "platform/Registry.h"
#include "rimo/RimoData.h"
#include "webcomm/KeloHttpComm.h"

namespace rimo::component {

// Everything of one component object. Shared by the object the host holds,
// every interface call in flight and the worker, so that it lives until the
// last of them has left, whichever that is.
//
// In asynchronous mode each interface call queues tasks and returns; the
// worker runs them in order. Otherwise each call runs its work on the
// caller's thread. No exception leaves an interface call or a task.
class DataCore final : public std::enable_shared_from_this<DataCore> {
 public:
  static std::shared_ptr<DataCore> Make(IScDataStatus* status, bool asynchronous);
  ~DataCore();
  DataCore(const DataCore&) = delete;
  DataCore& operator=(const DataCore&) = delete;

  void LoadRimoResponseFromFile(const wchar_t* path);
  void LoadRimoResponseFromRZ(const wchar_t* userId);
  void QueryRimoResponse(const wchar_t* userId);

  bool IsAsynchronous() const { return engine_.Started(); }
  int WorkerExitCode() const { return engine_.ExitCode(); }
  // Queues a task as the interface calls do; argument may be null (Stop).
  // The argument must fit the record (the interface calls check this).
  void PushTask(int32_t type, const wchar_t* argument);
  // A job's task (GetFromRz or QueryResponse) and the status INI update
  // behind it, queued together.
  void PushJob(int32_t type, const wchar_t* userId);

  // The host lets go of the object. From another thread: the calls still
  // running finish, then the queued tasks run, then the worker ends. From
  // inside (a host callback on the worker or within a call): the queued
  // tasks are dropped, the running one makes no further call on the status
  // object, and the rest goes when the last user has left.
  void Release();
  // The process is ending: nothing more is asked of the status object, the
  // queue is dropped and the running request ends soon.
  void StopForExit();
  TaskEngine& Engine() { return engine_; }
  // How long a thread has been waiting for the host's status lock.
  std::chrono::milliseconds StatusLockWaitedFor() const { return status_.LockWaitedFor(); }

 private:
  DataCore(IScDataStatus* status);

  // Runs one interface call's work; nothing it throws leaves it.
  template <typename Work>
  void Guarded(const wchar_t* call, Work work);
  bool InCallOnThisThread();
  void Detach();
  // Locks this thread took through the host's status object before the
  // detach and could not give back after it are given back where they
  // reached a status object of ours.
  void GiveBackOwedLocks();

  // The record of a task, announced in the trace.
  DataTask MakeTask(int32_t type, const wchar_t* argument);
  void ExecuteTask(const DataTask& task);
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
  // Reports refusal (RefusedUserId or RefusedPath) now, or queues it.
  void Refuse(int32_t refusal);

  DetachableStatus status_;
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
  TaskEngine engine_;
  // The threads inside an interface call of this object, once per call.
  std::mutex callsMutex_;
  std::condition_variable callsEnded_;
  std::vector<std::thread::id> callers_;
  // Synchronous jobs of one object run one at a time, whichever threads
  // call; a callback may call again on its own thread.
  std::recursive_mutex synchronousWork_;
  int synchronousDepth_ = 0;  // guarded by synchronousWork_
};

// The object a host holds. Its calls keep the core alive while they run, so
// a delete from inside one of them (a host callback) frees this object but
// never the work still on the stack.
class RimoData final : public IRimoData {
 public:
  RimoData(IScDataStatus* status, uint8_t startWorker);
  // Releases the core: see DataCore::Release.
  ~RimoData();
  RimoData(const RimoData&) = delete;
  RimoData& operator=(const RimoData&) = delete;

  void LoadRimoResponseFromFile(const wchar_t* path) override;
  void LoadRimoResponseFromRZ(const wchar_t* userId) override;
  void QueryRimoResponse(const wchar_t* userId) override;

  bool IsAsynchronous() const { return core_->IsAsynchronous(); }
  // 0 after a normal end of the worker, 1 after an exception, -1 while it runs.
  int WorkerExitCode() const { return core_->WorkerExitCode(); }
  void PushTask(int32_t type, const wchar_t* argument) { core_->PushTask(type, argument); }

 private:
  std::shared_ptr<DataCore> core_;
};

}  // namespace rimo::component
