#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/FileIo.h"
#include "platform/Folders.h"
#include "platform/SafeFiles.h"

namespace rimo::platform {
namespace {

FileDescriptor OwnLockFile(int folder, const std::string& name) { return OpenOwnFile(folder, name, O_RDWR); }

// The lock file for the file at folderPath + name in the user's private
// folder: no other user can create, hold or replace it.
FileDescriptor PrivateLockFile(const std::string& folderPath, const std::string& name) {
  // The folder checked is the folder used: held open, never named again.
  const FileDescriptor folder = OpenOwnTempDir();
  if (!folder) return FileDescriptor();
  const size_t hash = std::hash<std::string>{}(folderPath + name);
  char file[64];
  std::snprintf(file, sizeof file, "lock-%016zx", hash);
  return OwnLockFile(folder.Get(), file);
}

// Waits for an exclusive flock on fd until the deadline, queued in the
// kernel with the other waiters rather than polling. The blocking call runs
// on a helper thread holding a duplicate of fd (the lock belongs to the
// shared open file description): given up, the caller closes its
// descriptor, and the helper's close releases a lock it gets later.
bool LockUntil(int fd, std::chrono::steady_clock::time_point deadline) {
  struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool acquired = false;
  };
  const int duplicate = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) return false;
  auto waiter = std::make_shared<Waiter>();
  try {
    std::thread([waiter, duplicate] {
      int rc;
      do rc = flock(duplicate, LOCK_EX);
      while (rc != 0 && errno == EINTR);
      {
        std::lock_guard<std::mutex> guard(waiter->mutex);
        waiter->finished = true;
        waiter->acquired = rc == 0;
        waiter->done.notify_all();
      }
      close(duplicate);
    }).detach();
  } catch (...) {
    close(duplicate);
    return false;
  }
  std::unique_lock<std::mutex> lock(waiter->mutex);
  waiter->done.wait_until(lock, deadline, [&] { return waiter->finished; });
  if (!waiter->finished) errno = ETIMEDOUT;
  return waiter->finished && waiter->acquired;
}

}  // namespace

bool LockExclusive(int fd, int timeoutMs) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK && errno != EINTR) return false;
  return LockUntil(fd, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
}

FileWriteLock::FileWriteLock(const std::string& path, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const std::optional<Located> at = Locate(path);
  if (!at) {
    error_ = errno;
    return;
  }
  FileDescriptor fd = OwnLockFile(at->folder.Get(), "." + at->name + ".lock");
  if (!fd) {
    // Someone else's lock file (or something else) in its place: the
    // user's private lock serializes this user's writers all the same.
    fd = PrivateLockFile(at->folderPath, at->name);
    if (!fd) {
      // No lock can be had that no other user holds: the write goes on
      // unserialized (still atomic) rather than never.
      serialized_ = false;
      held_ = true;
      return;
    }
    privateLock_ = true;
  }
  if (flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
    fd_ = std::move(fd);
    held_ = true;
    return;
  }
  if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) {
    // A file system without locks: the writer still replaces the file
    // atomically, but nothing serializes it with other writers.
    serialized_ = false;
    fd_ = std::move(fd);
    held_ = true;
    return;
  }
  if (errno != EWOULDBLOCK && errno != EINTR) {
    error_ = errno;
    return;
  }
  if (!LockUntil(fd.Get(), deadline)) {
    error_ = errno == 0 ? ETIMEDOUT : errno;
    return;
  }
  fd_ = std::move(fd);
  held_ = true;
}

FileWriteLock::~FileWriteLock() = default;  // closing the lock file releases the flock

}  // namespace rimo::platform
