#include "platform/FileIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>

#include "platform/Handles.h"
#include "platform/SafeFiles.h"

namespace rimo::platform {

bool WriteFully(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

namespace {

constexpr char kTemporaryInfix[] = ".tmp-";
constexpr size_t kTemporarySuffix = 8;

std::string TemporaryPrefix(const std::string& name) { return "." + name + kTemporaryInfix; }

// True when the regular file name in folder, as stat'ed in existing, holds
// exactly content, is nobody else's to write and has no other name: then
// replacing it would change nothing. It is flushed all the same (nearly
// free when it is already on disk), so that the caller's promise of a
// durable file holds either way.
bool HoldsAlready(int folder, const std::string& name, const struct stat& existing, std::string_view content) {
  if (static_cast<uint64_t>(existing.st_size) != content.size() || existing.st_nlink != 1 ||
      existing.st_uid != geteuid() || (existing.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return false;
  }
  FileDescriptor file(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat opened {};
  if (!file || fstat(file.Get(), &opened) != 0 || opened.st_ino != existing.st_ino ||
      opened.st_dev != existing.st_dev || !S_ISREG(opened.st_mode)) {
    return false;
  }
  char buffer[64 * 1024];
  size_t compared = 0;
  for (;;) {
    const ssize_t n = read(file.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    const auto got = static_cast<size_t>(n);
    if (got > content.size() - compared || std::memcmp(buffer, content.data() + compared, got) != 0) return false;
    compared += got;
  }
  return compared == content.size() && fsync(file.Get()) == 0;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, std::string_view content) {
  const std::optional<Located> at = Locate(path);
  if (!at) return false;
  FileDescriptor folder(openat(at->folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return false;
  struct stat existing {};
  const bool exists = fstatat(folder.Get(), at->name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    // A FIFO, device, folder or refused link in the file's place.
    errno = S_ISDIR(existing.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  if (exists && existing.st_uid != geteuid()) {
    // Another user's file is never replaced: its place is not the caller's.
    errno = EPERM;
    return false;
  }
  if (exists && HoldsAlready(folder.Get(), at->name, existing, content)) return true;
  const std::string prefix = TemporaryPrefix(at->name);
  std::string temp;
  FileDescriptor file;
  for (int attempt = 0; attempt < 100 && !file; ++attempt) {
    char suffix[16];
    uint32_t r = 0;
    if (getentropy(&r, sizeof r) != 0) r = static_cast<uint32_t>(getpid()) * 2654435761u + static_cast<uint32_t>(attempt);
    std::snprintf(suffix, sizeof suffix, "%08x", r);
    temp = prefix + suffix;
    file.Reset(openat(folder.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file && errno != EEXIST) return false;
  }
  if (!file) return false;

  // The file is the caller's, and keeps its mode but is never left
  // writable by other users; a new file gets what the umask allows of 0666,
  // never writable by group or others either.
  bool ok = true;
  const mode_t mode = exists ? (existing.st_mode & 07777 & ~(S_IWGRP | S_IWOTH)) : NewFileMode();
  ok = fchmod(file.Get(), mode) == 0;
  ok = ok && WriteFully(file.Get(), content) && fsync(file.Get()) == 0;
  int savedErrno = errno;
  if (!file.Close() && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (ok && renameat(folder.Get(), temp.c_str(), folder.Get(), at->name.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    unlinkat(folder.Get(), temp.c_str(), 0);
    errno = savedErrno;
    return false;
  }
  // Make the rename itself durable.
  fsync(folder.Get());
  return true;
}

void RemoveStaleTemporaries(const std::string& path) {
  const std::optional<Located> at = Locate(path);
  if (!at) return;
  const int folderFd = openat(at->folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return;
  DirectoryStream folder(fdopendir(folderFd));
  if (folder == nullptr) {
    close(folderFd);
    return;
  }
  const std::string prefix = TemporaryPrefix(at->name);
  const uid_t me = geteuid();
  while (const struct dirent* entry = readdir(folder.get())) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0 || name.size() != prefix.size() + kTemporarySuffix) continue;
    struct stat st {};
    // The user's own regular files only; never through a link.
    if (fstatat(dirfd(folder.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == me) {
      unlinkat(dirfd(folder.get()), name.c_str(), 0);
    }
  }
}

namespace {

std::optional<std::string> ReadWhole(const std::string& path, size_t maxSize, bool ownOnly) {
  FileDescriptor fd = OpenRegularFile(path);
  if (!fd) return std::nullopt;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return std::nullopt;
  if (ownOnly && !IsOwnSingleFile(st)) {
    errno = EPERM;
    return std::nullopt;
  }
  if (static_cast<size_t>(st.st_size) > maxSize) {
    errno = EFBIG;
    return std::nullopt;
  }
  std::string text;
  text.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > maxSize) {
      errno = EFBIG;
      return std::nullopt;
    }
  }
  return text;
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxSize) {
  return ReadWhole(path, maxSize, false);
}

std::optional<std::string> ReadOwnFile(const std::string& path, size_t maxSize) {
  return ReadWhole(path, maxSize, true);
}

}  // namespace rimo::platform
