// A host's own status object: forwards every call to a status object of the
// library, so that a test can step in before chosen calls.
#pragma once

#include <atomic>
#include <functional>

#include "rimo/RimoData.h"

namespace rimo::host {

class ForwardingStatus : public IScDataStatus {
 public:
  explicit ForwardingStatus(IScDataStatus* inner) : inner_(inner) {}

  // Every call the object took, of any kind.
  std::atomic<long> calls{0};

  // Run before the call they are named after, on the calling thread.
  std::function<void()> beforeGetCertificateList;
  std::function<void()> beforeSetStateCode;
  // Run after the call they are named after.
  std::function<void(bool)> afterSetBusy;
  std::function<void()> afterUnlock;

  void ResetStatus() override { ++calls; inner_->ResetStatus(); }
  ICertificateList* GetCertificateList() override {
    ++calls;
    if (beforeGetCertificateList) beforeGetCertificateList();
    return inner_->GetCertificateList();
  }
  void SetErrorKind(int32_t v) override { ++calls; inner_->SetErrorKind(v); }
  int32_t GetErrorKind() override { ++calls; return inner_->GetErrorKind(); }
  void SetChanged(bool v) override { ++calls; inner_->SetChanged(v); }
  bool GetChanged() override { ++calls; return inner_->GetChanged(); }
  void SetBusy(bool v) override {
    ++calls;
    inner_->SetBusy(v);
    if (afterSetBusy) afterSetBusy(v);
  }
  bool GetBusy() override { ++calls; return inner_->GetBusy(); }
  void Lock() override { ++calls; inner_->Lock(); }
  void Unlock() override {
    ++calls;
    inner_->Unlock();
    if (afterUnlock) afterUnlock();
  }
  void SetUserMessage(const wchar_t* v) override { ++calls; inner_->SetUserMessage(v); }
  const wchar_t* GetUserMessage() override { ++calls; return inner_->GetUserMessage(); }
  void SetStateCode(int32_t v) override {
    ++calls;
    if (beforeSetStateCode) beforeSetStateCode();
    inner_->SetStateCode(v);
  }
  int32_t GetStateCode() override { ++calls; return inner_->GetStateCode(); }
  void SetFaultId(const wchar_t* v) override { ++calls; inner_->SetFaultId(v); }
  const wchar_t* GetFaultId() override { ++calls; return inner_->GetFaultId(); }
  void SetHttpStatus(int32_t v) override { ++calls; inner_->SetHttpStatus(v); }
  int32_t GetHttpStatus() override { ++calls; return inner_->GetHttpStatus(); }
  void SetRequestError(int32_t v) override { ++calls; inner_->SetRequestError(v); }
  int32_t GetRequestError() override { ++calls; return inner_->GetRequestError(); }
  void SetErrorId(const wchar_t* v) override { ++calls; inner_->SetErrorId(v); }
  const wchar_t* GetErrorId() override { ++calls; return inner_->GetErrorId(); }
  void SetKeyChange(bool v) override { ++calls; inner_->SetKeyChange(v); }
  bool GetKeyChange() override { ++calls; return inner_->GetKeyChange(); }
  void SetSwitchOnActivation(bool v) override { ++calls; inner_->SetSwitchOnActivation(v); }
  bool GetSwitchOnActivation() override { ++calls; return inner_->GetSwitchOnActivation(); }
  void SetCurrentSerial(const wchar_t* v) override { ++calls; inner_->SetCurrentSerial(v); }
  const wchar_t* GetCurrentSerial() override { ++calls; return inner_->GetCurrentSerial(); }
  void SetNewSerial(const wchar_t* v) override { ++calls; inner_->SetNewSerial(v); }
  const wchar_t* GetNewSerial() override { ++calls; return inner_->GetNewSerial(); }
  void SetResponseData(const uint8_t* d, int32_t n) override { ++calls; inner_->SetResponseData(d, n); }
  const uint8_t* GetResponseData() override { ++calls; return inner_->GetResponseData(); }
  void SetResponseLength(int32_t v) override { ++calls; inner_->SetResponseLength(v); }
  int32_t GetResponseLength() override { ++calls; return inner_->GetResponseLength(); }
  void SetQueryOutcome(int32_t v) override { ++calls; inner_->SetQueryOutcome(v); }
  int32_t GetQueryOutcome() override { ++calls; return inner_->GetQueryOutcome(); }

 private:
  IScDataStatus* inner_;
};

}  // namespace rimo::host
