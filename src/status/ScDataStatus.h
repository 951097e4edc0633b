// The status record through which the component reports to its host.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/RecursiveLock.h"
#include "status/CertificateList.h"
#include "rimo/RimoData.h"

namespace rimo::status {

// Thread-safe. Setters and locking getters only try the recursive lock: a
// setter whose attempt fails changes nothing, a getter answers 0/false/null.
// GetErrorKind, GetChanged, GetBusy and GetQueryOutcome never take the lock.
// Returned pointers stay owned by the record; use them between Lock/Unlock.
// The lock also guards the task queue of the component bound to this record.
class ScDataStatus : public IScDataStatus {
 public:
  ScDataStatus();
  ~ScDataStatus() override;
  ScDataStatus(const ScDataStatus&) = delete;
  ScDataStatus& operator=(const ScDataStatus&) = delete;

  // Waits until no other thread holds the record's or its list's lock, and
  // lets go of both where this thread holds them: the record may then be
  // destroyed without pulling a lock from under anyone.
  void AwaitRelease();
  // Gives back up to record levels of the record's lock and list levels of
  // the list's lock where this thread holds them (for a worker whose host
  // stopped taking calls, say).
  void ReleaseLocksHeldByThisThread(int record, int list);

  void ResetStatus() override;
  // ResetStatus, but the busy flag stays as it is: the clean record a job
  // starts from, with no moment in which busy reads false mid-job.
  void ResetStatusKeepingBusy();
  ICertificateList* GetCertificateList() override;
  void SetErrorKind(int32_t kind) override;
  int32_t GetErrorKind() override;
  void SetChanged(bool changed) override;
  bool GetChanged() override;
  void SetBusy(bool busy) override;
  bool GetBusy() override;
  void Lock() override;
  void Unlock() override;
  void SetUserMessage(const wchar_t* message) override;
  const wchar_t* GetUserMessage() override;
  void SetStateCode(int32_t code) override;
  int32_t GetStateCode() override;
  void SetFaultId(const wchar_t* faultId) override;
  const wchar_t* GetFaultId() override;
  void SetHttpStatus(int32_t status) override;
  int32_t GetHttpStatus() override;
  void SetRequestError(int32_t error) override;
  int32_t GetRequestError() override;
  void SetErrorId(const wchar_t* errorId) override;
  const wchar_t* GetErrorId() override;
  void SetKeyChange(bool keyChange) override;
  bool GetKeyChange() override;
  void SetSwitchOnActivation(bool switchOn) override;
  bool GetSwitchOnActivation() override;
  void SetCurrentSerial(const wchar_t* serial) override;
  const wchar_t* GetCurrentSerial() override;
  void SetNewSerial(const wchar_t* serial) override;
  const wchar_t* GetNewSerial() override;
  void SetResponseData(const uint8_t* data, int32_t length) override;
  const uint8_t* GetResponseData() override;
  void SetResponseLength(int32_t length) override;
  int32_t GetResponseLength() override;
  void SetQueryOutcome(int32_t outcome) override;
  int32_t GetQueryOutcome() override;

  // A copy of the stored response bytes, at most GetResponseLength() of
  // them and never more than are stored (empty while another thread holds
  // the lock).
  std::vector<uint8_t> ResponseBytes();

 private:
  void Reset(bool keepBusy);
  using Text = std::unique_ptr<wchar_t[]>;

  template <typename T>
  void SetValue(std::atomic<T>& field, T value, bool raisesChanged);
  template <typename T>
  T GetLocked(const std::atomic<T>& field);
  void SetText(Text& field, const wchar_t* value);
  void SetSerial(Text& field, const wchar_t* value);
  const wchar_t* GetText(const Text& field);

  std::atomic<bool> changed_{false};
  platform::RecursiveLock lock_;
  std::unique_ptr<CertificateList> certificates_;
  std::atomic<bool> keyChange_{false};
  std::atomic<bool> switchOnActivation_{false};
  std::atomic<int32_t> errorKind_{0};
  std::atomic<bool> busy_{false};
  Text userMessage_;
  std::atomic<int32_t> stateCode_{0};
  Text faultId_;
  std::atomic<int32_t> httpStatus_{0};
  std::atomic<int32_t> requestError_{0};
  Text errorId_;
  Text currentSerial_;
  Text newSerial_;
  std::unique_ptr<uint8_t[]> responseData_;
  size_t responseDataSize_ = 0;  // bytes held in responseData_
  std::atomic<int32_t> responseLength_{0};
  std::atomic<int32_t> queryOutcome_{2};
};

}  // namespace rimo::status
