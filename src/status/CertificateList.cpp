#include "status/CertificateList.h"

#include <cwchar>
#include <algorithm>
#include <functional>
#include <new>

#include "diag/MethodTrace.h"

namespace rimo::status {

using diag::category::kDataDll;
using platform::RecursiveLockGuard;

// One block: the links, the record and both of the record's texts behind it.
struct CertificateList::Node {
  Node* previous = nullptr;
  Node* next = nullptr;
  CertificateRecord record{};

  static Node* Make(std::wstring_view type, std::wstring_view text) {
    const size_t chars = type.size() + text.size() + 2;
    void* block = ::operator new(sizeof(Node) + chars * sizeof(wchar_t));
    Node* node = new (block) Node;
    auto* place = reinterpret_cast<wchar_t*>(node + 1);
    node->record.type = place;
    place = std::copy(type.begin(), type.end(), place);
    *place++ = L'\0';
    node->record.certificateText = place;
    place = std::copy(text.begin(), text.end(), place);
    *place = L'\0';
    return node;
  }
  static void Free(Node* node) {
    node->~Node();
    ::operator delete(node);
  }
};

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
  ReserveIndex(size_.load(std::memory_order_relaxed) + 1);
  Node* node = CreateNewEntry(type != nullptr ? type : L"", certificateText != nullptr ? certificateText : L"");
  IndexType(node);
  node->previous = tail_;
  if (tail_ != nullptr) {
    tail_->next = node;
  } else {
    head_ = node;
  }
  tail_ = node;
  size_.fetch_add(1, std::memory_order_relaxed);
  return &node->record;
}

CertificateRecord* CertificateList::GetFirstCertificate(void** cursor) {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::GetFirstCertificate");
  if (cursor == nullptr) return nullptr;
  *cursor = nullptr;
  if (!lock_.TryLock()) return nullptr;
  RecursiveLockGuard guard(lock_, std::adopt_lock);
  if (head_ == nullptr) return nullptr;
  *cursor = head_;
  return &head_->record;
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
  return next != nullptr ? &next->record : nullptr;
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
  return previous != nullptr ? &previous->record : nullptr;
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
  if (index_.empty()) return false;
  const std::wstring_view wanted(type != nullptr ? type : L"");
  for (size_t slot = Slot(wanted);; slot = (slot + 1) & (index_.size() - 1)) {
    const Node* node = index_[slot];
    if (node == nullptr) return false;
    if (wanted == node->record.type) return true;
  }
}

size_t CertificateList::Slot(std::wstring_view type) const {
  return std::hash<std::wstring_view>{}(type) & (index_.size() - 1);
}

void CertificateList::ReserveIndex(size_t entries) {
  // At most half full, so that every probe ends soon at an empty slot.
  if (entries * 2 <= index_.size()) return;
  std::vector<Node*> grown(std::max<size_t>(16, index_.size() * 2), nullptr);
  index_.swap(grown);
  for (Node* node : grown) {
    if (node != nullptr) IndexType(node);
  }
}

void CertificateList::IndexType(Node* node) {
  size_t slot = Slot(node->record.type);
  while (index_[slot] != nullptr) slot = (slot + 1) & (index_.size() - 1);
  index_[slot] = node;
}

CertificateList::Node* CertificateList::CreateNewEntry(std::wstring_view type, std::wstring_view text) {
  RIMO_METHOD_TRACE(kDataDll, L"CertificateList::CreateNewEntry");
  return Node::Make(type, text);
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
    // Only whole lists are deleted: the index empties with them and keeps
    // its room for the next response.
    std::fill(index_.begin(), index_.end(), nullptr);
    return;
  }
  size_.fetch_sub(1, std::memory_order_relaxed);
  Node::Free(node);
}

void CertificateList::AwaitRelease() {
  lock_.Lock();
  while (lock_.HeldByMe()) lock_.Unlock();
}

void CertificateList::ReleaseLockHeldByThisThread(int levels) {
  for (; levels > 0 && lock_.HeldByMe(); --levels) lock_.Unlock();
}

}  // namespace rimo::status
