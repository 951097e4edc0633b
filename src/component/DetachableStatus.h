// The component's view of its host's status object: every call is passed on
// until the component is detached from it, and none after that. A host that
// deletes the component from inside a call on its status object may free
// that object as soon as the call returns; the component's work still on the
// stack then goes on without touching it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "rimo/RimoData.h"

namespace rimo::component {

class DetachableStatus final : public IScDataStatus {
 public:
  // target is not owned.
  explicit DetachableStatus(IScDataStatus* target) : target_(target), list_(this) {}
  DetachableStatus(const DetachableStatus&) = delete;
  DetachableStatus& operator=(const DetachableStatus&) = delete;

  // From now on no call reaches the target or its certificate list: setters
  // do nothing, getters answer 0, false or null, and Lock does not wait.
  void Detach() { detached_.store(true); }
  bool Detached() const { return detached_.load(); }
  // The host's object this one passes calls on to (what several component
  // objects may share).
  const IScDataStatus* Target() const { return target_; }
  // The record reset with the busy flag left raised: on the library's own
  // status object in one step; on a host's own, ResetStatus and SetBusy(true).
  void ResetKeepingBusy();
  // How long a thread has been waiting in Lock for the host's lock (zero
  // when none is).
  std::chrono::milliseconds LockWaitedFor() const;

  // The locks this thread took on the target's record and list before the
  // detach and could not give back after it: what is still owed to a
  // status object of the library that the target forwards to. Resets the
  // count.
  struct Owed {
    int record = 0;
    int list = 0;
  };
  Owed TakeOwedLocks();

  void ResetStatus() override;
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

 private:
  // The target's certificate list, behind the same switch.
  class List final : public ICertificateList {
   public:
    explicit List(DetachableStatus* owner) : owner_(owner) {}
    bool ClearList() override;
    unsigned Count() override;
    bool IsEmpty() override;
    CertificateRecord* AddCertificate(const wchar_t* type, const wchar_t* certificateText) override;
    CertificateRecord* GetFirstCertificate(void** cursor) override;
    CertificateRecord* GetNextCertificate(void** cursor) override;
    CertificateRecord* GetPreviousCertificate(void** cursor) override;
    bool LockObject() override;
    bool TryLockObject() override;
    bool UnlockObject() override;

   private:
    // The target's list while attached; null after.
    ICertificateList* Live();
    DetachableStatus* owner_;
  };

  IScDataStatus* target_;
  List list_;
  std::atomic<bool> detached_{false};
  std::atomic<int64_t> lockWaitSinceMs_{0};  // steady clock; 0: no thread waits
};

}  // namespace rimo::component
