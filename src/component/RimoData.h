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

#include "component/DataTask.h"
#include "config/RimoPaths.h"
#include "config/WizardProperties.h"
#include "crypto/ICertFunctions.h"
#include "crypto/ISignatureFunctions.h"
#include "platform/ByteStream.h"
#include "platform/Registry.h"
#include "webcomm/KeloHttpComm.h"
#include "xml/KeloUtilities.h"
#include "xml/TcResponseXml.h"
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
  void CreateUtilitiesObjects();
  int ObserveTaskQueue();
  void ExecuteTask(DataTask task);
  void WaitForTask();

  void ExecuteGetFromFile(const wchar_t* path);
  void ExecuteGetFromRz(const wchar_t* userId);
  void ExecuteQueryResponse(const wchar_t* userId);
  // The query task: a stored response that still verifies makes the
  // request needless; otherwise the data center is asked.
  void ExecuteQueryTask(const wchar_t* userId);
  bool StoredResponseVerifies(const wchar_t* userId);
  // The TC response parsed and passed through every check; null otherwise.
  std::unique_ptr<xml::CTcResponseXml> Verify(const std::vector<uint8_t>& response);
  // Resets the whole status record and sets the query's start state.
  void StartQueryRecord();
  void RecordQueryOutcome(const wchar_t* userId);
  // Publishes a parsed, verified response: container, flags, serials.
  void Publish(xml::CTcResponseXml& response);
  void UpdateStatusIni(const wchar_t* userId);

  // The data-center query's steps.
  std::wstring CreateRestUrl(const wchar_t* userId);
  bool CreateUserAgent();
  // The TC response carried by the envelope in stream; empty when none.
  std::vector<uint8_t> GetTcResponseFromStream(std::shared_ptr<platform::IByteStream> stream);
  void GetResponseErrorDetails(std::shared_ptr<platform::IByteStream> stream);
  void SetErrorIdFromCodes(int32_t httpStatus, uint32_t detail);
  // A query that failed like an unreadable envelope: (status, 99000), kind 8.
  void ReportUnreadableAnswer(int32_t httpStatus);
  void WriteResponseFile(const wchar_t* userId, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> ReadHttpBody();
  bool IsInAlertPeriod();
  // Reads, checks and publishes the TC response in stream.
  void GetCertsFromStream(std::shared_ptr<platform::IByteStream> stream);
  // The response bytes the last query left in the status object.
  std::vector<uint8_t> ReceivedResponse();

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
  std::wstring ResponseFilePath(const wchar_t* userId);

  IScDataStatus* status_;
  // Service objects; they outlive the worker, which is joined first.
  config::CRimoPaths paths_;
  // The response the last query verified, for the load that follows it.
  std::unique_ptr<xml::CTcResponseXml> verified_;
  // What the last query ended with, for its own status INI update.
  struct QueryRecord {
    std::wstring userId;
    int32_t outcome = 2;
    std::wstring errorId;
  } lastQuery_;
  config::CWizardProperties wizardSettings_;
  std::unique_ptr<xml::IKeloUtilities> utilities_;
  std::unique_ptr<crypto::ISignatureFunctions> signature_;
  std::unique_ptr<crypto::ICertFunctions> certFunctions_;
  std::unique_ptr<WebCommLib::KeloHttpComm> http_;
  platform::RegistryFile registry_;
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
