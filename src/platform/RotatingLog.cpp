#include "platform/RotatingLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileIo.h"
#include "platform/FileLock.h"
#include "platform/Handles.h"
#include "platform/SafeFiles.h"

namespace rimo::platform {
namespace {

FileDescriptor OpenOwnLog(int folder, const std::string& name) {
  // Not a FIFO whose reader would get the lines, not another user's file;
  // and private, whatever mode an older log had.
  FileDescriptor fd = OpenOwnFile(folder, name, O_WRONLY | O_APPEND);
  struct stat st {};
  if (fd && fstat(fd.Get(), &st) == 0 && (st.st_mode & 077) != 0) fchmod(fd.Get(), 0600);
  return fd;
}

}  // namespace

bool AppendToLog(const std::string& path, std::string_view text, const LogLimits& limits) {
  const std::optional<Located> at = Locate(path);
  if (!at) return false;
  FileDescriptor fd = OpenOwnLog(at->folder.Get(), at->name);
  if (!fd) return false;
  if (!LockExclusive(fd.Get(), limits.lockTimeoutMs)) {
    std::string line(limits.timeoutMarker);
    line.append(text);
    return WriteFully(fd.Get(), line);
  }
  struct stat st {};
  if (fstat(fd.Get(), &st) == 0 && static_cast<uint64_t>(st.st_size) + text.size() > limits.maxBytes &&
      st.st_size > 0) {
    // Still the file at path (no other writer rotated it meanwhile)?
    struct stat named {};
    if (fstatat(at->folder.Get(), at->name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == st.st_ino &&
        named.st_dev == st.st_dev) {
      for (int i = limits.keep; i >= 1; --i) {
        const std::string from = i == 1 ? at->name : at->name + "." + std::to_string(i - 1);
        const std::string to = at->name + "." + std::to_string(i);
        renameat(at->folder.Get(), from.c_str(), at->folder.Get(), to.c_str());
      }
      if (limits.keep < 1) unlinkat(at->folder.Get(), at->name.c_str(), 0);
    }
    FileDescriptor fresh = OpenOwnLog(at->folder.Get(), at->name);
    if (!fresh || !LockExclusive(fresh.Get(), limits.lockTimeoutMs)) return false;
    fd = std::move(fresh);
  }
  return WriteFully(fd.Get(), text);
}

}  // namespace rimo::platform
