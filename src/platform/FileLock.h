// Appends to files shared by several processes.
#pragma once

#include <string>
#include <string_view>

namespace rimo::platform {

enum class AppendLock { Taken, TimedOut, Failed };

// Appends text to path (created with mode 0644, never through a symbolic
// link) while holding an exclusive flock on it, waiting at most timeoutMs.
// When the lock cannot be had, marker (depending on the outcome) is written
// in front of the text without the lock. A file that cannot be opened is
// skipped silently. Returns how the lock went.
AppendLock AppendWithFileLock(const std::string& path, std::string_view text, int timeoutMs,
                              std::string_view timeoutMarker, std::string_view failureMarker);

// An exclusive lock for rewriting the file at path, between threads and
// processes alike: an flock on the lock file ".<name>.lock" beside the file
// (through links: beside their target). The lock file is the user's own
// (created 0600, never through a link); one that belongs to someone else is
// refused. Waits at most timeoutMs. Released by the destructor, or by the
// kernel when the process dies.
class FileWriteLock {
 public:
  FileWriteLock(const std::string& path, int timeoutMs);
  ~FileWriteLock();
  FileWriteLock(const FileWriteLock&) = delete;
  FileWriteLock& operator=(const FileWriteLock&) = delete;

  bool Held() const { return fd_ >= 0; }
  // Why it is not held: ETIMEDOUT, EPERM (someone else's lock file), or the
  // error of opening the lock file.
  int Error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

}  // namespace rimo::platform
