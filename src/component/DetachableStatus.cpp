#include "component/DetachableStatus.h"

#include "diag/Trace.h"
#include "status/ScDataStatus.h"

#include <algorithm>
#include <chrono>
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

// Every call into the host's objects goes through these: an exception the
// host's method throws is traced and goes no further (the call counts as
// not made, a question as answered with its empty answer), so that no job,
// no worker and no destructor of the component is ended by it.
void TraceHostException(const char* call) noexcept {
  try {
    diag::TraceWriteFormat(diag::Error, diag::category::kDataDll,
                           L"Der Aufruf %S am Statusobjekt des Hosts hat eine Ausnahme geworfen; er bleibt ohne Wirkung.",
                           call);
  } catch (...) {
  }
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

template <typename Call>
bool HostCall(const char* name, Call call) noexcept {
  try {
    call();
    return true;
  } catch (...) {
    TraceHostException(name);
    return false;
  }
}

template <typename Result, typename Call>
Result HostAnswer(const char* name, Result empty, Call call) noexcept {
  try {
    return call();
  } catch (...) {
    TraceHostException(name);
    return empty;
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

std::chrono::milliseconds DetachableStatus::LockWaitedFor() const {
  const int64_t since = lockWaitSinceMs_.load();
  return std::chrono::milliseconds(since == 0 ? 0 : std::max<int64_t>(0, NowMs() - since));
}

void DetachableStatus::ResetKeepingBusy() {
  if (Detached()) return;
  if (auto* own = dynamic_cast<status::ScDataStatus*>(target_)) {
    own->ResetStatusKeepingBusy();
    return;
  }
  HostCall("ResetStatus", [&] { target_->ResetStatus(); });
  HostCall("SetBusy", [&] { target_->SetBusy(true); });
}

void DetachableStatus::ResetStatus() {
  if (!Detached()) HostCall("ResetStatus", [&] { target_->ResetStatus(); });
}

ICertificateList* DetachableStatus::GetCertificateList() {
  // The same list object for every caller: its calls check the switch each.
  if (Detached()) return nullptr;
  ICertificateList* list = HostAnswer<ICertificateList*>("GetCertificateList", nullptr, [&] { return target_->GetCertificateList(); });
  return list == nullptr ? nullptr : &list_;
}

void DetachableStatus::SetErrorKind(int32_t kind) {
  if (!Detached()) HostCall("SetErrorKind", [&] { target_->SetErrorKind(kind); });
}

int32_t DetachableStatus::GetErrorKind() { return Detached() ? 0 : HostAnswer("GetErrorKind", static_cast<decltype(target_->GetErrorKind())>(0), [&] { return target_->GetErrorKind(); }); }

void DetachableStatus::SetChanged(bool changed) {
  if (!Detached()) HostCall("SetChanged", [&] { target_->SetChanged(changed); });
}

bool DetachableStatus::GetChanged() { return Detached() ? false : HostAnswer("GetChanged", static_cast<decltype(target_->GetChanged())>(false), [&] { return target_->GetChanged(); }); }

void DetachableStatus::SetBusy(bool busy) {
  if (!Detached()) HostCall("SetBusy", [&] { target_->SetBusy(busy); });
}

bool DetachableStatus::GetBusy() { return Detached() ? false : HostAnswer("GetBusy", static_cast<decltype(target_->GetBusy())>(false), [&] { return target_->GetBusy(); }); }

void DetachableStatus::Lock() {
  if (Detached()) return;
  // How long a thread has waited for the host's lock shows whether the
  // lock is held for good (a host that ends while holding it).
  int64_t none = 0;
  const bool timing = lockWaitSinceMs_.compare_exchange_strong(none, std::max<int64_t>(1, NowMs()));
  const bool locked = HostCall("Lock", [&] { target_->Lock(); });
  if (timing) lockWaitSinceMs_.store(0);
  if (!locked) return;
  ++HeldFor(this).record;
}

void DetachableStatus::Unlock() {
  Held& held = HeldFor(this);
  if (held.record == 0) return;  // a lock taken after the detach, or none
  --held.record;
  if (Detached()) {
    ++held.owedRecord;
  } else {
    HostCall("Unlock", [&] { target_->Unlock(); });
  }
  Forget(this);
}

void DetachableStatus::SetUserMessage(const wchar_t* message) {
  if (!Detached()) HostCall("SetUserMessage", [&] { target_->SetUserMessage(message); });
}

const wchar_t* DetachableStatus::GetUserMessage() { return Detached() ? nullptr : HostAnswer("GetUserMessage", static_cast<decltype(target_->GetUserMessage())>(nullptr), [&] { return target_->GetUserMessage(); }); }

void DetachableStatus::SetStateCode(int32_t code) {
  if (!Detached()) HostCall("SetStateCode", [&] { target_->SetStateCode(code); });
}

int32_t DetachableStatus::GetStateCode() { return Detached() ? 0 : HostAnswer("GetStateCode", static_cast<decltype(target_->GetStateCode())>(0), [&] { return target_->GetStateCode(); }); }

void DetachableStatus::SetFaultId(const wchar_t* faultId) {
  if (!Detached()) HostCall("SetFaultId", [&] { target_->SetFaultId(faultId); });
}

const wchar_t* DetachableStatus::GetFaultId() { return Detached() ? nullptr : HostAnswer("GetFaultId", static_cast<decltype(target_->GetFaultId())>(nullptr), [&] { return target_->GetFaultId(); }); }

void DetachableStatus::SetHttpStatus(int32_t status) {
  if (!Detached()) HostCall("SetHttpStatus", [&] { target_->SetHttpStatus(status); });
}

int32_t DetachableStatus::GetHttpStatus() { return Detached() ? 0 : HostAnswer("GetHttpStatus", static_cast<decltype(target_->GetHttpStatus())>(0), [&] { return target_->GetHttpStatus(); }); }

void DetachableStatus::SetRequestError(int32_t error) {
  if (!Detached()) HostCall("SetRequestError", [&] { target_->SetRequestError(error); });
}

int32_t DetachableStatus::GetRequestError() { return Detached() ? 0 : HostAnswer("GetRequestError", static_cast<decltype(target_->GetRequestError())>(0), [&] { return target_->GetRequestError(); }); }

void DetachableStatus::SetErrorId(const wchar_t* errorId) {
  if (!Detached()) HostCall("SetErrorId", [&] { target_->SetErrorId(errorId); });
}

const wchar_t* DetachableStatus::GetErrorId() { return Detached() ? nullptr : HostAnswer("GetErrorId", static_cast<decltype(target_->GetErrorId())>(nullptr), [&] { return target_->GetErrorId(); }); }

void DetachableStatus::SetKeyChange(bool keyChange) {
  if (!Detached()) HostCall("SetKeyChange", [&] { target_->SetKeyChange(keyChange); });
}

bool DetachableStatus::GetKeyChange() { return Detached() ? false : HostAnswer("GetKeyChange", static_cast<decltype(target_->GetKeyChange())>(false), [&] { return target_->GetKeyChange(); }); }

void DetachableStatus::SetSwitchOnActivation(bool switchOn) {
  if (!Detached()) HostCall("SetSwitchOnActivation", [&] { target_->SetSwitchOnActivation(switchOn); });
}

bool DetachableStatus::GetSwitchOnActivation() { return Detached() ? false : HostAnswer("GetSwitchOnActivation", static_cast<decltype(target_->GetSwitchOnActivation())>(false), [&] { return target_->GetSwitchOnActivation(); }); }

void DetachableStatus::SetCurrentSerial(const wchar_t* serial) {
  if (!Detached()) HostCall("SetCurrentSerial", [&] { target_->SetCurrentSerial(serial); });
}

const wchar_t* DetachableStatus::GetCurrentSerial() { return Detached() ? nullptr : HostAnswer("GetCurrentSerial", static_cast<decltype(target_->GetCurrentSerial())>(nullptr), [&] { return target_->GetCurrentSerial(); }); }

void DetachableStatus::SetNewSerial(const wchar_t* serial) {
  if (!Detached()) HostCall("SetNewSerial", [&] { target_->SetNewSerial(serial); });
}

const wchar_t* DetachableStatus::GetNewSerial() { return Detached() ? nullptr : HostAnswer("GetNewSerial", static_cast<decltype(target_->GetNewSerial())>(nullptr), [&] { return target_->GetNewSerial(); }); }

void DetachableStatus::SetResponseData(const uint8_t* data, int32_t length) {
  if (!Detached()) HostCall("SetResponseData", [&] { target_->SetResponseData(data, length); });
}

const uint8_t* DetachableStatus::GetResponseData() { return Detached() ? nullptr : HostAnswer("GetResponseData", static_cast<decltype(target_->GetResponseData())>(nullptr), [&] { return target_->GetResponseData(); }); }

void DetachableStatus::SetResponseLength(int32_t length) {
  if (!Detached()) HostCall("SetResponseLength", [&] { target_->SetResponseLength(length); });
}

int32_t DetachableStatus::GetResponseLength() { return Detached() ? 0 : HostAnswer("GetResponseLength", static_cast<decltype(target_->GetResponseLength())>(0), [&] { return target_->GetResponseLength(); }); }

void DetachableStatus::SetQueryOutcome(int32_t outcome) {
  if (!Detached()) HostCall("SetQueryOutcome", [&] { target_->SetQueryOutcome(outcome); });
}

int32_t DetachableStatus::GetQueryOutcome() { return Detached() ? 0 : HostAnswer("GetQueryOutcome", static_cast<decltype(target_->GetQueryOutcome())>(0), [&] { return target_->GetQueryOutcome(); }); }

ICertificateList* DetachableStatus::List::Live() {
  if (owner_->Detached()) return nullptr;
  return HostAnswer<ICertificateList*>("GetCertificateList", nullptr,
                                       [&] { return owner_->target_->GetCertificateList(); });
}

bool DetachableStatus::List::ClearList() {
  ICertificateList* list = Live();
  return list != nullptr && HostAnswer("ClearList", false, [&] { return list->ClearList(); });
}

unsigned DetachableStatus::List::Count() {
  ICertificateList* list = Live();
  return list == nullptr ? 0 : HostAnswer("Count", 0u, [&] { return list->Count(); });
}

bool DetachableStatus::List::IsEmpty() {
  ICertificateList* list = Live();
  return list != nullptr && HostAnswer("IsEmpty", false, [&] { return list->IsEmpty(); });
}

CertificateRecord* DetachableStatus::List::AddCertificate(const wchar_t* type, const wchar_t* certificateText) {
  ICertificateList* list = Live();
  return list == nullptr ? nullptr
                         : HostAnswer<CertificateRecord*>("AddCertificate", nullptr,
                                                          [&] { return list->AddCertificate(type, certificateText); });
}

CertificateRecord* DetachableStatus::List::GetFirstCertificate(void** cursor) {
  ICertificateList* list = Live();
  return list == nullptr ? nullptr
                         : HostAnswer<CertificateRecord*>("GetFirstCertificate", nullptr,
                                                          [&] { return list->GetFirstCertificate(cursor); });
}

CertificateRecord* DetachableStatus::List::GetNextCertificate(void** cursor) {
  ICertificateList* list = Live();
  return list == nullptr ? nullptr
                         : HostAnswer<CertificateRecord*>("GetNextCertificate", nullptr,
                                                          [&] { return list->GetNextCertificate(cursor); });
}

CertificateRecord* DetachableStatus::List::GetPreviousCertificate(void** cursor) {
  ICertificateList* list = Live();
  return list == nullptr ? nullptr
                         : HostAnswer<CertificateRecord*>("GetPreviousCertificate", nullptr,
                                                          [&] { return list->GetPreviousCertificate(cursor); });
}

bool DetachableStatus::List::LockObject() {
  ICertificateList* list = Live();
  if (list == nullptr || !HostAnswer("LockObject", false, [&] { return list->LockObject(); })) return false;
  ++HeldFor(owner_).list;
  return true;
}

bool DetachableStatus::List::TryLockObject() {
  ICertificateList* list = Live();
  if (list == nullptr || !HostAnswer("TryLockObject", false, [&] { return list->TryLockObject(); })) return false;
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
  return HostAnswer("UnlockObject", false, [&] { return list->UnlockObject(); });
}

}  // namespace rimo::component
