#include "platform/FileLock.h"

#include "platform/FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace rimo::platform {
namespace {

int64_t NowMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}


}  // namespace

AppendLock AppendWithFileLock(const std::string& path, std::string_view text, int timeoutMs,
                              std::string_view timeoutMarker, std::string_view failureMarker) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return AppendLock::Failed;
  AppendLock outcome = AppendLock::TimedOut;
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      outcome = AppendLock::Taken;
      break;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      outcome = AppendLock::Failed;
      break;
    }
    if (NowMs() >= deadline) break;
    struct timespec pause {0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  if (outcome == AppendLock::Taken) {
    WriteFully(fd, text);
    flock(fd, LOCK_UN);
  } else {
    std::string line(outcome == AppendLock::TimedOut ? timeoutMarker : failureMarker);
    line.append(text);
    WriteFully(fd, line);
  }
  close(fd);
  return outcome;
}

FileWriteLock::FileWriteLock(const std::string& path, int timeoutMs) {
  const std::string target = ResolveLinks(path).value_or(path);
  const size_t slash = target.rfind('/');
  const std::string lockPath = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".lock";
  const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error_ = errno;
    return;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    error_ = EPERM;
    return;
  }
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      return;
    }
    if ((errno != EWOULDBLOCK && errno != EINTR) || NowMs() >= deadline) break;
    struct timespec pause {0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  error_ = errno == EWOULDBLOCK ? ETIMEDOUT : errno;
  close(fd);
}

FileWriteLock::~FileWriteLock() {
  if (fd_ >= 0) close(fd_);  // closing releases the flock
}

}  // namespace rimo::platform
