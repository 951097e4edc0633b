#include "component/DetachableStatus.h"

#include <cstddef>

namespace rimo::component {
namespace {

// This thread's locks on each object's target: taken and not yet given back.
// Plain data with no destructor: a thread-local object that has one keeps
// the library loaded for as long as the thread lives.
struct Held {
  const DetachableStatus* owner;
  int record;
  int list;
  int owedRecord;
  int owedList;
};
// The objects one thread holds locks on at once; a host that holds more
// shares the last entry among them (their counts then mix).
constexpr size_t kMaxHeld = 32;
thread_local Held t_held[kMaxHeld];
thread_local size_t t_heldCount = 0;

Held& HeldFor(const DetachableStatus* owner) {
  for (size_t i = 0; i < t_heldCount; ++i) {
    if (t_held[i].owner == owner) return t_held[i];
  }
  if (t_heldCount == kMaxHeld) return t_held[kMaxHeld - 1];
  t_held[t_heldCount] = Held{owner, 0, 0, 0, 0};
  return t_held[t_heldCount++];
}

void Forget(const DetachableStatus* owner) {
  for (size_t i = 0; i < t_heldCount; ++i) {
    const Held& h = t_held[i];
    if (h.owner == owner && h.record == 0 && h.list == 0 && h.owedRecord == 0 && h.owedList == 0) {
      t_held[i] = t_held[--t_heldCount];
      return;
    }
  }
}

}  // namespace

DetachableStatus::Owed DetachableStatus::TakeOwedLocks() {
  Held& held = HeldFor(this);
  Owed owed{held.owedRecord, held.owedList};
  held.owedRecord = 0;
  held.owedList = 0;
  Forget(this);
  return owed;
}

void DetachableStatus::ResetStatus() {
  if (!Detached()) target_->ResetStatus();
}

ICertificateList* DetachableStatus::GetCertificateList() {
  // The same list object for every caller: its calls check the switch each.
  return Detached() || target_->GetCertificateList() == nullptr ? nullptr : &list_;
}

void DetachableStatus::SetErrorKind(int32_t kind) {
  if (!Detached()) target_->SetErrorKind(kind);
}

int32_t DetachableStatus::GetErrorKind() { return Detached() ? 0 : target_->GetErrorKind(); }

void DetachableStatus::SetChanged(bool changed) {
  if (!Detached()) target_->SetChanged(changed);
}

bool DetachableStatus::GetChanged() { return Detached() ? false : target_->GetChanged(); }

void DetachableStatus::SetBusy(bool busy) {
  if (!Detached()) target_->SetBusy(busy);
}

bool DetachableStatus::GetBusy() { return Detached() ? false : target_->GetBusy(); }

void DetachableStatus::Lock() {
  if (Detached()) return;
  target_->Lock();
  ++HeldFor(this).record;
}

void DetachableStatus::Unlock() {
  Held& held = HeldFor(this);
  if (held.record == 0) return;  // a lock taken after the detach, or none
  --held.record;
  if (Detached()) {
    ++held.owedRecord;
  } else {
    target_->Unlock();
  }
  Forget(this);
}

void DetachableStatus::SetUserMessage(const wchar_t* message) {
  if (!Detached()) target_->SetUserMessage(message);
}

const wchar_t* DetachableStatus::GetUserMessage() { return Detached() ? nullptr : target_->GetUserMessage(); }

void DetachableStatus::SetStateCode(int32_t code) {
  if (!Detached()) target_->SetStateCode(code);
}

int32_t DetachableStatus::GetStateCode() { return Detached() ? 0 : target_->GetStateCode(); }

void DetachableStatus::SetFaultId(const wchar_t* faultId) {
  if (!Detached()) target_->SetFaultId(faultId);
}

const wchar_t* DetachableStatus::GetFaultId() { return Detached() ? nullptr : target_->GetFaultId(); }

void DetachableStatus::SetHttpStatus(int32_t status) {
  if (!Detached()) target_->SetHttpStatus(status);
}

int32_t DetachableStatus::GetHttpStatus() { return Detached() ? 0 : target_->GetHttpStatus(); }

void DetachableStatus::SetRequestError(int32_t error) {
  if (!Detached()) target_->SetRequestError(error);
}

int32_t DetachableStatus::GetRequestError() { return Detached() ? 0 : target_->GetRequestError(); }

void DetachableStatus::SetErrorId(const wchar_t* errorId) {
  if (!Detached()) target_->SetErrorId(errorId);
}

const wchar_t* DetachableStatus::GetErrorId() { return Detached() ? nullptr : target_->GetErrorId(); }

void DetachableStatus::SetKeyChange(bool keyChange) {
  if (!Detached()) target_->SetKeyChange(keyChange);
}

bool DetachableStatus::GetKeyChange() { return Detached() ? false : target_->GetKeyChange(); }

void DetachableStatus::SetSwitchOnActivation(bool switchOn) {
  if (!Detached()) target_->SetSwitchOnActivation(switchOn);
}

bool DetachableStatus::GetSwitchOnActivation() { return Detached() ? false : target_->GetSwitchOnActivation(); }

void DetachableStatus::SetCurrentSerial(const wchar_t* serial) {
  if (!Detached()) target_->SetCurrentSerial(serial);
}

const wchar_t* DetachableStatus::GetCurrentSerial() { return Detached() ? nullptr : target_->GetCurrentSerial(); }

void DetachableStatus::SetNewSerial(const wchar_t* serial) {
  if (!Detached()) target_->SetNewSerial(serial);
}

const wchar_t* DetachableStatus::GetNewSerial() { return Detached() ? nullptr : target_->GetNewSerial(); }

void DetachableStatus::SetResponseData(const uint8_t* data, int32_t length) {
  if (!Detached()) target_->SetResponseData(data, length);
}

const uint8_t* DetachableStatus::GetResponseData() { return Detached() ? nullptr : target_->GetResponseData(); }

void DetachableStatus::SetResponseLength(int32_t length) {
  if (!Detached()) target_->SetResponseLength(length);
}

int32_t DetachableStatus::GetResponseLength() { return Detached() ? 0 : target_->GetResponseLength(); }

void DetachableStatus::SetQueryOutcome(int32_t outcome) {
  if (!Detached()) target_->SetQueryOutcome(outcome);
}

int32_t DetachableStatus::GetQueryOutcome() { return Detached() ? 0 : target_->GetQueryOutcome(); }

ICertificateList* DetachableStatus::List::Live() {
  return owner_->Detached() ? nullptr : owner_->target_->GetCertificateList();
}

bool DetachableStatus::List::ClearList() {
  ICertificateList* list = Live();
  return list == nullptr ? false : list->ClearList();
}

unsigned DetachableStatus::List::Count() {
  ICertificateList* list = Live();
  return list == nullptr ? 0 : list->Count();
}

bool DetachableStatus::List::IsEmpty() {
  ICertificateList* list = Live();
  return list == nullptr ? false : list->IsEmpty();
}

CertificateRecord* DetachableStatus::List::AddCertificate(const wchar_t* type, const wchar_t* certificateText) {
  ICertificateList* list = Live();
  return list == nullptr ? nullptr : list->AddCertificate(type, certificateText);
}

CertificateRecord* DetachableStatus::List::GetFirstCertificate(void** cursor) {
  ICertificateList* list = Live();
  return list == nullptr ? nullptr : list->GetFirstCertificate(cursor);
}

CertificateRecord* DetachableStatus::List::GetNextCertificate(void** cursor) {
  ICertificateList* list = Live();
  return list == nullptr ? nullptr : list->GetNextCertificate(cursor);
}

CertificateRecord* DetachableStatus::List::GetPreviousCertificate(void** cursor) {
  ICertificateList* list = Live();
  return list == nullptr ? nullptr : list->GetPreviousCertificate(cursor);
}

bool DetachableStatus::List::LockObject() {
  ICertificateList* list = Live();
  if (list == nullptr || !list->LockObject()) return false;
  ++HeldFor(owner_).list;
  return true;
}

bool DetachableStatus::List::TryLockObject() {
  ICertificateList* list = Live();
  if (list == nullptr || !list->TryLockObject()) return false;
  ++HeldFor(owner_).list;
  return true;
}

bool DetachableStatus::List::UnlockObject() {
  Held& held = HeldFor(owner_);
  if (held.list == 0) return false;
  --held.list;
  ICertificateList* list = Live();
  if (list == nullptr) {
    ++held.owedList;
    Forget(owner_);
    return false;
  }
  Forget(owner_);
  return list->UnlockObject();
}

}  // namespace rimo::component
