// The certificate list owned by the status object.
#pragma once

#include <atomic>
#include <cstddef>
#include <string_view>
#include <vector>

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
  Node* CreateNewEntry(std::wstring_view type, std::wstring_view text);
  void DeleteEntry(Node* node, bool all);
  size_t Slot(std::wstring_view type) const;
  // Makes room in the index for entries records.
  void ReserveIndex(size_t entries);
  void IndexType(Node* node);

  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  std::atomic<size_t> size_{0};  // changed only under lock_
  // The records by type, open addressing over a power-of-two table (empty
  // until the first record); only whole lists are deleted.
  std::vector<Node*> index_;
  platform::RecursiveLock lock_;
};

}  // namespace rimo::status
