// A host's own status object: forwards every call to a status object of the
// library, so that a test can step in before chosen calls.
#pragma once

#include <functional>

#include "rimo/RimoData.h"

namespace rimo::host {

class ForwardingStatus : public IScDataStatus {
 public:
  explicit ForwardingStatus(IScDataStatus* inner) : inner_(inner) {}

  // Run before the call they are named after, on the calling thread.
  std::function<void()> beforeGetCertificateList;
  std::function<void()> beforeSetStateCode;
  // Run after the call they are named after.
  std::function<void(bool)> afterSetBusy;
  std::function<void()> afterUnlock;

  void ResetStatus() override { inner_->ResetStatus(); }
  ICertificateList* GetCertificateList() override {
    if (beforeGetCertificateList) beforeGetCertificateList();
    return inner_->GetCertificateList();
  }
  void SetErrorKind(int32_t v) override { inner_->SetErrorKind(v); }
  int32_t GetErrorKind() override { return inner_->GetErrorKind(); }
  void SetChanged(bool v) override { inner_->SetChanged(v); }
  bool GetChanged() override { return inner_->GetChanged(); }
  void SetBusy(bool v) override {
    inner_->SetBusy(v);
    if (afterSetBusy) afterSetBusy(v);
  }
  bool GetBusy() override { return inner_->GetBusy(); }
  void Lock() override { inner_->Lock(); }
  void Unlock() override {
    inner_->Unlock();
    if (afterUnlock) afterUnlock();
  }
  void SetUserMessage(const wchar_t* v) override { inner_->SetUserMessage(v); }
  const wchar_t* GetUserMessage() override { return inner_->GetUserMessage(); }
  void SetStateCode(int32_t v) override {
    if (beforeSetStateCode) beforeSetStateCode();
    inner_->SetStateCode(v);
  }
  int32_t GetStateCode() override { return inner_->GetStateCode(); }
  void SetFaultId(const wchar_t* v) override { inner_->SetFaultId(v); }
  const wchar_t* GetFaultId() override { return inner_->GetFaultId(); }
  void SetHttpStatus(int32_t v) override { inner_->SetHttpStatus(v); }
  int32_t GetHttpStatus() override { return inner_->GetHttpStatus(); }
  void SetRequestError(int32_t v) override { inner_->SetRequestError(v); }
  int32_t GetRequestError() override { return inner_->GetRequestError(); }
  void SetErrorId(const wchar_t* v) override { inner_->SetErrorId(v); }
  const wchar_t* GetErrorId() override { return inner_->GetErrorId(); }
  void SetKeyChange(bool v) override { inner_->SetKeyChange(v); }
  bool GetKeyChange() override { return inner_->GetKeyChange(); }
  void SetSwitchOnActivation(bool v) override { inner_->SetSwitchOnActivation(v); }
  bool GetSwitchOnActivation() override { return inner_->GetSwitchOnActivation(); }
  void SetCurrentSerial(const wchar_t* v) override { inner_->SetCurrentSerial(v); }
  const wchar_t* GetCurrentSerial() override { return inner_->GetCurrentSerial(); }
  void SetNewSerial(const wchar_t* v) override { inner_->SetNewSerial(v); }
  const wchar_t* GetNewSerial() override { return inner_->GetNewSerial(); }
  void SetResponseData(const uint8_t* d, int32_t n) override { inner_->SetResponseData(d, n); }
  const uint8_t* GetResponseData() override { return inner_->GetResponseData(); }
  void SetResponseLength(int32_t v) override { inner_->SetResponseLength(v); }
  int32_t GetResponseLength() override { return inner_->GetResponseLength(); }
  void SetQueryOutcome(int32_t v) override { inner_->SetQueryOutcome(v); }
  int32_t GetQueryOutcome() override { return inner_->GetQueryOutcome(); }

 private:
  IScDataStatus* inner_;
};

}  // namespace rimo::host
