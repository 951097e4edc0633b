// The component object: interface calls, task queue and worker thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "component/DataTask.h"
#include "config/RimoPaths.h"
#include "config/WizardProperties.h"
#include "crypto/ICertFunctions.h"
#include "crypto/ISignatureFunctions.h"
#include "platform/ByteStream.h"
#include "xml/KeloUtilities.h"
#include "rimo/RimoData.h"

namespace rimo::component {

// In asynchronous mode (startWorker == 1) each interface call queues tasks
// and returns; one worker thread runs them in order. Otherwise each call runs
// its work on the caller's thread. The queue is guarded by the status
// object's lock. The status object is not owned and must outlive this object.
// Destruction runs every queued task first; never destroy from the worker.
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

 private:
  static int DataWorkerThreadProc(RimoData* component);
  void CreateUtilitiesObjects();
  int ObserveTaskQueue();
  void ExecuteTask(DataTask task);
  void WaitForTask();

  void ExecuteGetFromFile(const wchar_t* path);
  void ExecuteGetFromRz(const wchar_t* userId);
  void ExecuteQueryResponse(const wchar_t* userId);
  void UpdateStatusIni(const wchar_t* userId);
  // Reads, checks and publishes the TC response in stream.
  void GetCertsFromStream(std::shared_ptr<platform::IByteStream> stream);
  // The response bytes the last query left in the status object.
  std::vector<uint8_t> ReceivedResponse();

  // Report an argument that does not fit; true when it was refused.
  bool RefuseUserId(const wchar_t* userId);
  bool RefusePath(const wchar_t* path);
  std::wstring ResponseFilePath(const wchar_t* userId);

  IScDataStatus* status_;
  // Service objects; they outlive the worker, which is joined first.
  config::CRimoPaths paths_;
  config::CWizardProperties wizardSettings_;
  std::unique_ptr<xml::IKeloUtilities> utilities_;
  std::unique_ptr<crypto::ISignatureFunctions> signature_;
  std::unique_ptr<crypto::ICertFunctions> certFunctions_;
  std::thread worker_;
  std::mutex wakeMutex_;
  std::condition_variable wakeCondition_;
  bool wakeSignalled_ = false;  // guarded by wakeMutex_
  std::deque<DataTask> taskQueue_;  // guarded by the status lock
  std::atomic<int> workerExitCode_{-1};
};

}  // namespace rimo::component
