#include "component/StatusPublisher.h"

#include <pthread.h>

#include <mutex>
#include <unordered_map>
#include <utility>

#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "rimo/RimoStatusCodes.h"
#include "status/ScopedLocks.h"

namespace rimo::component {

using diag::category::kDataDll;
using status::ListLock;
using status::StatusLock;

namespace {

constexpr wchar_t kFileNotOpened[] = L"Die Datei konnte nicht geöffnet werden.";
constexpr wchar_t kNoUrlErrorId[] = L"INT-99001";

}  // namespace

namespace {

// The jobs running on each host status object, over all component objects
// that share it. Taken only under that object's lock (never the reverse).
class BusyJobs {
 public:
  // The count after the change.
  int Change(const IScDataStatus* status, int by) {
    std::lock_guard<std::mutex> guard(mutex_);
    const int count = jobs_[status] += by;
    if (count <= 0) jobs_.erase(status);
    return count;
  }
  bool Any(const IScDataStatus* status) {
    std::lock_guard<std::mutex> guard(mutex_);
    return jobs_.count(status) != 0;
  }
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
  std::unordered_map<const IScDataStatus*, int> jobs_;
};

// Made when the library loads: it outlives every worker.
BusyJobs g_busyJobs;

// A child of fork never finds the count's lock held by a thread it lacks.
const bool g_busyJobsForkSafe = (pthread_atfork([] { g_busyJobs.Lock(); }, [] { g_busyJobs.Unlock(); },
                                                [] { g_busyJobs.Unlock(); }),
                                 true);

}  // namespace

StatusPublisher::~StatusPublisher() { Detached(); }

void StatusPublisher::Detached() {
  // Called with or without the status lock: the count has a lock of its own.
  if (busy_.exchange(false)) g_busyJobs.Change(status_->Target(), -1);
}

void StatusPublisher::SetBusy(bool busy) {
  StatusLock lock(status_);
  if (busy_.exchange(busy) == busy) {
    if (busy) status_->SetBusy(true);
    return;
  }
  const int running = g_busyJobs.Change(status_->Target(), busy ? 1 : -1);
  // Let go only by the last job on the object; raised by every start.
  if (busy || running == 0) status_->SetBusy(busy);
}

void StatusPublisher::ResetKeepingBusy() {
  if (g_busyJobs.Any(status_->Target())) {
    status_->ResetKeepingBusy();
  } else {
    status_->ResetStatus();
  }
}

void StatusPublisher::StartQuery() {
  StatusLock lock(status_);
  ResetKeepingBusy();
  status_->SetErrorKind(codes::kErrorNone);
  status_->SetErrorId(L"");
  status_->SetUserMessage(L"");
  status_->SetFaultId(L"");
  status_->SetHttpStatus(0);
  status_->SetRequestError(0);
  status_->SetResponseLength(0);
  status_->SetResponseData(nullptr, 0);
  status_->SetCurrentSerial(L"");
  status_->SetNewSerial(L"");
  status_->SetKeyChange(false);
  status_->SetSwitchOnActivation(false);
  status_->SetQueryOutcome(codes::kOutcomeNoResult);
  status_->SetStateCode(codes::kStateQueryStarted);
}

void StatusPublisher::QueryEnded(const QueryResult& result) {
  StatusLock lock(status_);
  status_->SetHttpStatus(result.httpStatus);
  status_->SetRequestError(static_cast<int32_t>(result.requestError));
  if (!result.response.empty()) {
    status_->SetResponseLength(static_cast<int32_t>(result.response.size()));
    status_->SetResponseData(result.response.data(), static_cast<int32_t>(result.response.size()));
  }
  if (!result.userMessage.empty()) status_->SetUserMessage(result.userMessage.c_str());
  if (!result.faultId.empty()) status_->SetFaultId(result.faultId.c_str());
  if (!result.errorId.empty()) status_->SetErrorId(result.errorId.c_str());
  if (result.errorKind != codes::kErrorNone) status_->SetErrorKind(result.errorKind);
  status_->SetQueryOutcome(result.outcome);
  status_->SetStateCode(result.stateCode);
}

void StatusPublisher::RefusedUserId() {
  StartQuery();
  QueryResult refused;
  refused.errorKind = codes::kErrorRequest;
  refused.errorId = kNoUrlErrorId;
  QueryEnded(refused);
}

void StatusPublisher::RefusedPath() {
  StatusLock lock(status_);
  status_->SetStateCode(codes::kStateFileLoadStarted);
  status_->SetUserMessage(kFileNotOpened);
}

void StatusPublisher::FileLoadStarted() {
  StatusLock lock(status_);
  status_->SetStateCode(codes::kStateFileLoadStarted);
}

void StatusPublisher::FileNotOpened() {
  StatusLock lock(status_);
  status_->SetUserMessage(kFileNotOpened);
}

void StatusPublisher::ResetRecord() {
  StatusLock lock(status_);
  ResetKeepingBusy();
}

void StatusPublisher::VerificationFailed() {
  StatusLock lock(status_);
  status_->SetErrorKind(codes::kErrorVerification);
}

bool StatusPublisher::Publish(xml::CTcResponseXml& response, ResponseChecks& checks) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::Publish");
  // Lock order: the status object first, then its certificate list.
  StatusLock statusLock(status_);
  ICertificateList* list = status_->GetCertificateList();
  ListLock listLock(list);
  int32_t keyChange = -1;
  bool switchOnActivation = true;
  if (checks.ReadContainer(response, list, &keyChange, &switchOnActivation)) {
    status_->SetKeyChange(keyChange == 1);
    status_->SetSwitchOnActivation(switchOnActivation);
    const bool verified = response.Integrity();
    status_->SetCurrentSerial(verified ? response.CurrentSerial()->c_str() : nullptr);
    status_->SetNewSerial(verified ? response.NewSerial()->c_str() : nullptr);
    status_->SetStateCode(codes::kStatePublished);
    return true;
  }
  // A container that failed publishes nothing, not even the certificates
  // read before the failure.
  if (list != nullptr) list->ClearList();
  status_->SetErrorKind(codes::kErrorVerification);
  return false;
}

void StatusPublisher::NotPublished() {
  StatusLock lock(status_);
  status_->SetResponseLength(0);
  status_->SetResponseData(nullptr, 0);
  status_->SetQueryOutcome(codes::kOutcomeNoResult);
  status_->SetStateCode(codes::kStateQueryStarted);
}

}  // namespace rimo::component
