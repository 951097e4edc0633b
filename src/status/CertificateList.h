// The certificate list owned by the status object.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string_view>
#include <unordered_set>

#include "platform/RecursiveLock.h"
#include "rimo/RimoData.h"

namespace rimo::status {

// Doubly linked list of CertificateRecord. Thread-safe: every operation except
// LockObject, UnlockObject and the destructor only tries the recursive lock
// and gives its empty answer when another thread holds it. A record stays
// valid until the list is cleared; a cursor stands for one node.
class CertificateList final : public ICertificateList {
 public:
  CertificateList() = default;
  ~CertificateList() override;
  CertificateList(const CertificateList&) = delete;
  CertificateList& operator=(const CertificateList&) = delete;

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

  // As the status record's (see ScDataStatus).
  void AwaitRelease();
  void ReleaseLockHeldByThisThread(int levels);

 private:
  struct Node;

  bool IsInList(const wchar_t* type);
  std::unique_ptr<Node> CreateNewEntry();
  void DeleteEntry(Node* node, bool all);

  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  std::atomic<size_t> size_{0};  // changed only under lock_
  std::unordered_set<std::wstring_view> types_;  // views of the records' types
  platform::RecursiveLock lock_;
};

}  // namespace rimo::status
