#include "status/CertificateList.h"

#include <cwchar>
#include <memory>
#include <new>

#include "diag/MethodTrace.h"

namespace rimo::status {

using diag::category::kDataDll;
using platform::RecursiveLockGuard;

// Owns its record and the record's texts.
struct CertificateList::Node {
  struct RecordDeleter {
    void operator()(CertificateRecord* record) const {
      delete[] record->type;
      delete[] record->certificateText;
      delete record;
    }
  };
  Node* previous = nullptr;
  Node* next = nullptr;
  std::unique_ptr<CertificateRecord, RecordDeleter> record;
};

namespace {

wchar_t* CopyText(const wchar_t* text) {
  if (text == nullptr) text = L"";
  size_t n = std::wcslen(text) + 1;
  auto* copy = new wchar_t[n];
  std::wmemcpy(copy, text, n);
  return copy;
}

}  // namespace

CertificateList::~CertificateList() {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::~CertificateList");
  RecursiveLockGuard guard(lock_);
  if (head_ != nullptr) DeleteEntry(head_, true);
}

bool CertificateList::ClearList() {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::ClearList");
  // An empty list is cleared already, whoever holds the lock.
  if (size_.load(std::memory_order_relaxed) == 0) return true;
  if (!lock_.TryLock()) return false;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  if (head_ != nullptr) DeleteEntry(head_, true);
  return true;
}

unsigned CertificateList::Count() {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::Count");
  if (!lock_.TryLock()) return 0;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  return static_cast<unsigned>(size_.load(std::memory_order_relaxed));
}

bool CertificateList::IsEmpty() {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::IsEmpty");
  if (!lock_.TryLock()) return true;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  return head_ == nullptr;
}

CertificateRecord* CertificateList::AddCertificate(const wchar_t* type, const wchar_t* certificateText) {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::AddCertificate");
  if (!lock_.TryLock()) return nullptr;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  if (IsInList(type)) return nullptr;
  // Everything is allocated before the list changes: a failure (no memory)
  // leaves the list as it was, with nothing leaked.
  std::unique_ptr<Node> owned = CreateNewEntry();
  owned->record->type = CopyText(type);
  owned->record->certificateText = CopyText(certificateText);
  types_.insert(owned->record->type);
  Node* node = owned.release();
  node->previous = tail_;
  if (tail_ != nullptr) {
    tail_->next = node;
  } else {
    head_ = node;
  }
  tail_ = node;
  size_.fetch_add(1, std::memory_order_relaxed);
  return node->record.get();
}

CertificateRecord* CertificateList::GetFirstCertificate(void** cursor) {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::GetFirstCertificate");
  if (cursor == nullptr) return nullptr;
  *cursor = nullptr;
  if (!lock_.TryLock()) return nullptr;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  if (head_ == nullptr) return nullptr;
  *cursor = head_;
  return head_->record.get();
}

CertificateRecord* CertificateList::GetNextCertificate(void** cursor) {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::GetNextCertificate");
  if (cursor == nullptr) return nullptr;
  if (*cursor == nullptr || !lock_.TryLock()) {
    *cursor = nullptr;
    return nullptr;
  }
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  Node* next = static_cast<Node*>(*cursor)->next;
  *cursor = next;
  return next != nullptr ? next->record.get() : nullptr;
}

CertificateRecord* CertificateList::GetPreviousCertificate(void** cursor) {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::GetPreviousCertificate");
  if (cursor == nullptr) return nullptr;
  if (*cursor == nullptr || !lock_.TryLock()) {
    *cursor = nullptr;
    return nullptr;
  }
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  Node* previous = static_cast<Node*>(*cursor)->previous;
  *cursor = previous;
  return previous != nullptr ? previous->record.get() : nullptr;
}

bool CertificateList::LockObject() {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::LockObject");
  lock_.Lock();
  return true;
}

bool CertificateList::TryLockObject() {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::TryLockObject");
  return lock_.TryLock();
}

bool CertificateList::UnlockObject() {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::UnlockObject");
  lock_.Unlock();
  return true;
}

bool CertificateList::IsInList(const wchar_t* type) {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::IsInList");
  if (!lock_.TryLock()) return false;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  return types_.count(type != nullptr ? type : L"") != 0;
}

std::unique_ptr<CertificateList::Node> CertificateList::CreateNewEntry() {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::CreateNewEntry");
  auto node = std::make_unique<Node>();
  node->record.reset(new CertificateRecord{});
  return node;
}

void CertificateList::DeleteEntry(Node* node, bool all) {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::DeleteEntry");
  if (all) {
    // Iterative, so that a long list cannot exhaust the stack.
    tail_ = node->previous;
    if (tail_ != nullptr) {
      tail_->next = nullptr;
    } else {
      head_ = nullptr;
    }
    while (node != nullptr) {
      Node* next = node->next;
      DeleteEntry(node, false);
      node = next;
    }
    return;
  }
  size_.fetch_sub(1, std::memory_order_relaxed);
  types_.erase(node->record->type);
  delete node;
}

void CertificateList::AwaitRelease() {
  lock_.Lock();
  while (lock_.HeldByMe()) lock_.Unlock();
}

void CertificateList::ReleaseLockHeldByThisThread(int levels) {
  for (; levels > 0 && lock_.HeldByMe(); --levels) lock_.Unlock();
}

}  // namespace rimo::status
