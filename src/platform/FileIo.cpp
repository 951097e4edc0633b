#include "platform/FileIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

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

std::string TemporaryPrefix(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return dir + "." + base + ".tmp-";
}

std::optional<std::string> ResolveLinks(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? std::optional<std::string>(path) : std::nullopt;
  if (!S_ISLNK(st.st_mode)) return path;
  // A link is kept: its target is what gets replaced.
  std::unique_ptr<char, decltype(&std::free)> target(realpath(path.c_str(), nullptr), &std::free);
  if (target == nullptr) return std::nullopt;
  return std::string(target.get());
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content) {
  const auto resolved = ResolveLinks(path);
  if (!resolved) return false;
  const std::string& target = *resolved;
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);

  struct stat existing {};
  const bool exists = stat(target.c_str(), &existing) == 0;
  const std::string prefix = TemporaryPrefix(target);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    char suffix[16];
    uint32_t r = 0;
    if (getentropy(&r, sizeof r) != 0) r = static_cast<uint32_t>(getpid()) * 2654435761u + static_cast<uint32_t>(attempt);
    std::snprintf(suffix, sizeof suffix, "%08x", r);
    temp = prefix + suffix;
    // A new file gets 0666 less the umask, as any file the user creates.
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, exists ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = true;
  if (exists) {
    // The file keeps its owner (where this user may keep it) and its mode.
    if (fchown(fd, existing.st_uid, existing.st_gid) != 0) {
      (void)!fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
    }
    ok = fchmod(fd, existing.st_mode & 07777) == 0;
  }
  ok = ok && WriteFully(fd, content) && fsync(fd) == 0;
  int savedErrno = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    errno = savedErrno;
    return false;
  }
  // Make the rename itself durable.
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

void RemoveStaleTemporaries(const std::string& path) {
  const auto resolved = ResolveLinks(path);
  if (!resolved) return;
  const std::string prefix = TemporaryPrefix(*resolved);
  const size_t slash = prefix.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : prefix.substr(0, slash + 1);
  const std::string namePrefix = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), &closedir);
  if (d == nullptr) return;
  const uid_t me = geteuid();
  while (const struct dirent* entry = readdir(d.get())) {
    const std::string name = entry->d_name;
    if (name.compare(0, namePrefix.size(), namePrefix) != 0 || name.size() != namePrefix.size() + 8) continue;
    const std::string full = dir + name;
    struct stat st {};
    if (lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == me) unlink(full.c_str());
  }
}

std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxSize) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > maxSize) {
    close(fd);
    return std::nullopt;
  }
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > maxSize) {
      close(fd);
      return std::nullopt;
    }
  }
  close(fd);
  return text;
}

}  // namespace rimo::platform
