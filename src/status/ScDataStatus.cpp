#include "status/ScDataStatus.h"

#include <cstring>
#include <cwchar>

#include "diag/MethodTrace.h"
#include "status/CertificateList.h"
#include "status/ScopedLocks.h"

namespace rimo::status {

using diag::category::kDataDll;
using platform::RecursiveLockGuard;

namespace {

std::unique_ptr<wchar_t[]> CopyText(const wchar_t* text) {
  size_t n = std::wcslen(text) + 1;
  auto copy = std::make_unique<wchar_t[]>(n);
  std::wmemcpy(copy.get(), text, n);
  return copy;
}

bool SameText(const std::unique_ptr<wchar_t[]>& stored, const wchar_t* text) {
  return stored != nullptr && std::wcscmp(stored.get(), text) == 0;
}

}  // namespace

ScDataStatus::ScDataStatus() : certificates_(std::make_unique<CertificateList>()) {}

ScDataStatus::~ScDataStatus() {
  RecursiveLockGuard guard(lock_);
  userMessage_.reset();
  currentSerial_.reset();
  newSerial_.reset();
  responseData_.reset();
  faultId_.reset();
  errorId_.reset();
  certificates_.reset();
}

// A value equal to the stored one is no change. The comparison is made under
// the lock; a lost attempt changes nothing either way.
template <typename T>
void ScDataStatus::SetValue(std::atomic<T>& field, T value, bool raisesChanged) {
  if (field.load(std::memory_order_relaxed) == value) return;
  if (!lock_.TryLock()) return;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  if (field.load(std::memory_order_relaxed) == value) return;
  field.store(value, std::memory_order_relaxed);
  if (raisesChanged) changed_.store(true, std::memory_order_relaxed);
}

template <typename T>
T ScDataStatus::GetLocked(const std::atomic<T>& field) {
  if (!lock_.TryLock()) return T{};
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  return field.load(std::memory_order_relaxed);
}

void ScDataStatus::SetText(Text& field, const wchar_t* value) {
  if (value == nullptr || !lock_.TryLock()) return;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  if (SameText(field, value)) return;
  // An empty text clears the field, as for the serials: no text is no text.
  field.reset();
  if (value[0] != L'\0') field = CopyText(value);
  changed_.store(true, std::memory_order_relaxed);
}

void ScDataStatus::SetSerial(Text& field, const wchar_t* value) {
  if (value == nullptr || !lock_.TryLock()) return;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  if (SameText(field, value)) return;
  field.reset();
  if (value[0] != L'\0') field = CopyText(value);
  changed_.store(true, std::memory_order_relaxed);
}

const wchar_t* ScDataStatus::GetText(const Text& field) {
  if (!lock_.TryLock()) return nullptr;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  return field.get();
}

void ScDataStatus::ResetStatus() {
  RIMO_METHOD_TRACE(kDataDll, L"ScDataStatus::ResetStatus");
  Reset(false);
}

void ScDataStatus::ResetStatusKeepingBusy() {
  RIMO_METHOD_TRACE(kDataDll, L"ScDataStatus::ResetStatus");
  Reset(true);
}

void ScDataStatus::Reset(bool keepBusy) {
  if (!lock_.TryLock()) return;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  {
    ListLock list(certificates_.get());
    certificates_->ClearList();
  }
  changed_.store(false, std::memory_order_relaxed);
  keyChange_.store(false, std::memory_order_relaxed);
  errorKind_.store(0, std::memory_order_relaxed);
  if (!keepBusy) busy_.store(false, std::memory_order_relaxed);
  userMessage_.reset();
}

ICertificateList* ScDataStatus::GetCertificateList() {
  if (!lock_.TryLock()) return nullptr;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  return certificates_.get();
}

void ScDataStatus::SetErrorKind(int32_t kind) { SetValue(errorKind_, kind, true); }
int32_t ScDataStatus::GetErrorKind() { return errorKind_.load(std::memory_order_relaxed); }
void ScDataStatus::SetChanged(bool changed) { SetValue(changed_, changed, false); }
bool ScDataStatus::GetChanged() { return changed_.load(std::memory_order_relaxed); }
void ScDataStatus::SetBusy(bool busy) { SetValue(busy_, busy, true); }
bool ScDataStatus::GetBusy() { return busy_.load(std::memory_order_relaxed); }
void ScDataStatus::AwaitRelease() {
  lock_.Lock();
  certificates_->AwaitRelease();
  while (lock_.HeldByMe()) lock_.Unlock();
}

void ScDataStatus::ReleaseLocksHeldByThisThread(int record, int list) {
  certificates_->ReleaseLockHeldByThisThread(list);
  for (; record > 0 && lock_.HeldByMe(); --record) lock_.Unlock();
}

void ScDataStatus::Lock() { lock_.Lock(); }
void ScDataStatus::Unlock() { lock_.Unlock(); }
void ScDataStatus::SetUserMessage(const wchar_t* message) { SetText(userMessage_, message); }
const wchar_t* ScDataStatus::GetUserMessage() { return GetText(userMessage_); }
void ScDataStatus::SetStateCode(int32_t code) { SetValue(stateCode_, code, true); }
int32_t ScDataStatus::GetStateCode() { return GetLocked(stateCode_); }
void ScDataStatus::SetFaultId(const wchar_t* faultId) { SetText(faultId_, faultId); }
const wchar_t* ScDataStatus::GetFaultId() { return GetText(faultId_); }
void ScDataStatus::SetHttpStatus(int32_t status) { SetValue(httpStatus_, status, true); }
int32_t ScDataStatus::GetHttpStatus() { return GetLocked(httpStatus_); }
void ScDataStatus::SetRequestError(int32_t error) { SetValue(requestError_, error, true); }
int32_t ScDataStatus::GetRequestError() { return GetLocked(requestError_); }
void ScDataStatus::SetErrorId(const wchar_t* errorId) { SetText(errorId_, errorId); }
const wchar_t* ScDataStatus::GetErrorId() { return GetText(errorId_); }
void ScDataStatus::SetKeyChange(bool keyChange) { SetValue(keyChange_, keyChange, true); }
bool ScDataStatus::GetKeyChange() { return GetLocked(keyChange_); }
void ScDataStatus::SetSwitchOnActivation(bool switchOn) { SetValue(switchOnActivation_, switchOn, true); }
bool ScDataStatus::GetSwitchOnActivation() { return GetLocked(switchOnActivation_); }
void ScDataStatus::SetCurrentSerial(const wchar_t* serial) { SetSerial(currentSerial_, serial); }
const wchar_t* ScDataStatus::GetCurrentSerial() { return GetText(currentSerial_); }
void ScDataStatus::SetNewSerial(const wchar_t* serial) { SetSerial(newSerial_, serial); }
const wchar_t* ScDataStatus::GetNewSerial() { return GetText(newSerial_); }

void ScDataStatus::SetResponseData(const uint8_t* data, int32_t length) {
  if (!lock_.TryLock()) return;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  const size_t size = (data != nullptr && length > 0) ? static_cast<size_t>(length) : 0;
  // Equal means the same length and the same bytes: the data are binary and
  // may hold zero bytes (UTF-16 text, for one).
  if (size == responseDataSize_ &&
      (size == 0 || std::memcmp(responseData_.get(), data, size) == 0)) {
    return;
  }
  if (size == 0) {
    responseData_.reset();
  } else {
    auto copy = std::make_unique<uint8_t[]>(size);
    std::memcpy(copy.get(), data, size);
    responseData_ = std::move(copy);
  }
  responseDataSize_ = size;
  changed_.store(true, std::memory_order_relaxed);
}

const uint8_t* ScDataStatus::GetResponseData() {
  if (!lock_.TryLock()) return nullptr;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  return responseData_.get();
}

std::vector<uint8_t> ScDataStatus::ResponseBytes() {
  if (!lock_.TryLock()) return {};
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  const int32_t length = responseLength_.load(std::memory_order_relaxed);
  size_t n = length > 0 ? static_cast<size_t>(length) : 0;
  if (n > responseDataSize_) n = responseDataSize_;
  return std::vector<uint8_t>(responseData_.get(), responseData_.get() + n);
}

void ScDataStatus::SetResponseLength(int32_t length) { SetValue(responseLength_, length, true); }
int32_t ScDataStatus::GetResponseLength() { return GetLocked(responseLength_); }
void ScDataStatus::SetQueryOutcome(int32_t outcome) { SetValue(queryOutcome_, outcome, false); }
int32_t ScDataStatus::GetQueryOutcome() { return queryOutcome_.load(std::memory_order_relaxed); }

}  // namespace rimo::status
