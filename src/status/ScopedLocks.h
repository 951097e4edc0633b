// Scoped holders for the status object's lock and its certificate list's
// lock, through the public interfaces (the object may be the host's own).
// Every path out of a scope, an exception included, releases the lock.
#pragma once

#include "rimo/RimoData.h"

namespace rimo::status {

class StatusLock {
 public:
  explicit StatusLock(IScDataStatus* status) : status_(status) { status_->Lock(); }
  ~StatusLock() { status_->Unlock(); }
  StatusLock(const StatusLock&) = delete;
  StatusLock& operator=(const StatusLock&) = delete;

 private:
  IScDataStatus* status_;
};

// A null list is allowed and holds nothing.
class ListLock {
 public:
  explicit ListLock(ICertificateList* list) : list_(list) {
    if (list_ != nullptr) list_->LockObject();
  }
  ~ListLock() {
    if (list_ != nullptr) list_->UnlockObject();
  }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;

 private:
  ICertificateList* list_;
};

}  // namespace rimo::status
