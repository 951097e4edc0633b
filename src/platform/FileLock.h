// A lock for rewriting a file, between threads and processes alike.
#pragma once

#include <string>

#include "platform/Handles.h"

namespace rimo::platform {

// Takes an exclusive flock on fd, waiting in the kernel's queue (not
// polling) for at most timeoutMs; errno ETIMEDOUT when the time ran out.
bool LockExclusive(int fd, int timeoutMs);

// An exclusive flock on the lock file ".<name>.lock" beside the file at
// path (links resolved by the rule of SafeFiles.h). The lock file is the
// user's own (created 0600, never through a link, opened without
// blocking); when the one beside the file cannot be used (another user's,
// a FIFO, no right to create it), a lock file in the user's private folder
// serializes the user's own writers instead; when neither can be had (a
// squatted private folder), the write goes on unserialized. A lock held by another
// process is waited for in the kernel's queue until timeoutMs, not polled.
// On a file system without locks the object counts as held but not
// serialized. Released by the destructor, or by the kernel when the
// process dies.
class FileWriteLock {
 public:
  FileWriteLock(const std::string& path, int timeoutMs);
  ~FileWriteLock();
  FileWriteLock(const FileWriteLock&) = delete;
  FileWriteLock& operator=(const FileWriteLock&) = delete;

  // True when the write may go on: locked, or (no lock to be had that no
  // one else holds, or no locks on the file system) unserialized.
  bool Held() const { return held_; }
  // False when the file system has no locks: the write goes on unserialized.
  bool Serialized() const { return serialized_; }
  // True when the private lock stands in for the one beside the file.
  bool PrivateLock() const { return privateLock_; }
  // Why it is not held: ETIMEDOUT, or the error of opening a lock file.
  int Error() const { return error_; }

 private:
  FileDescriptor fd_;
  bool held_ = false;
  bool serialized_ = true;
  bool privateLock_ = false;
  int error_ = 0;
};

}  // namespace rimo::platform
