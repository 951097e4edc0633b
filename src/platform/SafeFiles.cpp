#include "platform/SafeFiles.h"
#include "platform/ForkChild.h"

#include <new>
#include <pthread.h>
#include <fcntl.h>
#include <unistd.h>

#include <limits.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace rimo::platform {
namespace {

// As the kernel allows for one lookup.
constexpr int kMaxLinks = 40;

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at < path.size()) {
    const size_t slash = path.find('/', at);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > at) {
      std::string part = path.substr(at, end - at);
      if (part != ".") parts.push_back(std::move(part));
    }
    at = end + 1;
  }
  return parts;
}

std::string Joined(const std::vector<std::string>& parts, size_t from) {
  std::string path;
  for (size_t i = from; i < parts.size(); ++i) path += "/" + parts[i];
  return path;
}

std::string ParentOf(const std::string& folderPath) {
  // folderPath ends with '/'; "/" stays "/".
  if (folderPath.size() <= 1) return "/";
  const size_t slash = folderPath.rfind('/', folderPath.size() - 2);
  return folderPath.substr(0, slash + 1);
}

// The link at (folder, name): its target when it may be followed.
std::optional<std::string> FollowableTarget(int folder, const std::string& name, const struct stat& linkStat) {
  struct stat folderStat {};
  if (fstat(folder, &folderStat) != 0) return std::nullopt;
  if (!LinkMayBeFollowed(linkStat, folderStat)) {
    errno = ELOOP;
    return std::nullopt;
  }
  char target[PATH_MAX];
  const ssize_t n = readlinkat(folder, name.c_str(), target, sizeof target - 1);
  if (n <= 0) return std::nullopt;
  return std::string(target, static_cast<size_t>(n));
}

// Folders are made only in a folder of the caller's own or of root's
// (the system's, or what the package made): never in another user's, who
// could rename or replace what the caller makes there. EPERM otherwise.
bool MayCreateIn(int folder) {
  struct stat st {};
  if (fstat(folder, &st) != 0) return false;
  if (st.st_uid == geteuid() || st.st_uid == 0) return true;
  errno = EPERM;
  return false;
}

// Walks path from "/" (a relative one from the current folder): every folder
// on the way, and the last component when it is a followable link, resolved.
// create: missing folders on the way are made (mode parentMode; the last one
// mode when it is a folder to make too).
std::optional<Located> Walk(std::string path, bool createFolders, bool lastIsFolder, mode_t mode, mode_t parentMode) {
  if (path.empty()) {
    errno = EINVAL;
    return std::nullopt;
  }
  if (path[0] != '/') {
    // Relative to the current folder, whose path is walked like the rest.
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return std::nullopt;
    path = std::string(cwd) + "/" + path;
  }
  for (int links = 0; links <= kMaxLinks; ++links) {
    const std::vector<std::string> parts = Components(path);
    if (parts.empty()) {
      errno = EINVAL;
      return std::nullopt;
    }
    FileDescriptor folder(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return std::nullopt;
    std::string folderPath = "/";
    bool restarted = false;
    for (size_t i = 0; i + 1 < parts.size() || (lastIsFolder && i < parts.size()); ++i) {
      const std::string& part = parts[i];
      const bool last = i + 1 == parts.size();
      if (part == "..") {
        FileDescriptor up(openat(folder.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!up) return std::nullopt;
        folder = std::move(up);
        folderPath = ParentOf(folderPath);
        continue;
      }
      // The usual case first: a folder (never a link, which O_NOFOLLOW with
      // O_DIRECTORY refuses) is entered at once.
      if (FileDescriptor next{openat(folder.Get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)}) {
        folder = std::move(next);
        folderPath += part + "/";
        continue;
      }
      struct stat st {};
      if (fstatat(folder.Get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT || !createFolders) return std::nullopt;
        if (!MayCreateIn(folder.Get())) return std::nullopt;
        const mode_t made = last ? mode : parentMode;
        if (mkdirat(folder.Get(), part.c_str(), made) != 0 && errno != EEXIST) return std::nullopt;
        // Exactly the mode asked for, whatever the umask; through the new
        // folder's own handle, never a name that may have been swapped.
        FileDescriptor fresh(openat(folder.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fresh) return std::nullopt;
        struct stat freshStat {};
        if (fstat(fresh.Get(), &freshStat) == 0 && freshStat.st_uid == geteuid() &&
            (freshStat.st_mode & 07777) != made) {
          fchmod(fresh.Get(), made);
        }
        if (fstatat(folder.Get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
      }
      if (S_ISLNK(st.st_mode)) {
        if (createFolders && st.st_uid != geteuid() && st.st_uid != 0) {
          // Where folders are made, only the caller's and root's links lead:
          // another user's link could choose where the caller creates.
          errno = ELOOP;
          return std::nullopt;
        }
        const std::optional<std::string> target = FollowableTarget(folder.Get(), part, st);
        if (!target) return std::nullopt;
        const std::string rest = Joined(parts, i + 1);
        path = ((*target)[0] == '/' ? *target : folderPath + *target) + rest;
        restarted = true;
        break;
      }
      if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return std::nullopt;
      }
      FileDescriptor next(openat(folder.Get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!next) return std::nullopt;
      folder = std::move(next);
      folderPath += part + "/";
    }
    if (restarted) continue;
    if (lastIsFolder) {
      // The folder itself, as its parent's entry "." would name it.
      return Located{std::move(folder), ".", folderPath};
    }
    const std::string& name = parts.back();
    if (name == "..") {
      errno = EINVAL;
      return std::nullopt;
    }
    struct stat st {};
    if (fstatat(folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      const std::optional<std::string> target = FollowableTarget(folder.Get(), name, st);
      if (!target) return std::nullopt;
      path = (*target)[0] == '/' ? *target : folderPath + *target;
      continue;
    }
    return Located{std::move(folder), name, folderPath};
  }
  errno = ELOOP;
  return std::nullopt;
}

}  // namespace

bool LinkMayBeFollowed(const struct stat& linkStat, const struct stat& folderStat) {
  if (linkStat.st_uid == geteuid()) return true;
  return linkStat.st_uid == folderStat.st_uid && (folderStat.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<Located> Locate(const std::string& path) { return Walk(path, false, false, 0, 0); }

FileDescriptor OpenRegularFile(const std::string& path, int flags) {
  const std::optional<Located> at = Locate(path);
  if (!at) return FileDescriptor();
  FileDescriptor fd(openat(at->folder.Get(), at->name.c_str(),
                           flags | O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (!fd) return fd;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return FileDescriptor();
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return FileDescriptor();
  }
  fcntl(fd.Get(), F_SETFL, fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

FileDescriptor OpenOwnFile(int folder, const std::string& name, int flags) {
  FileDescriptor fd(openat(folder, name.c_str(), flags | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!fd) return fd;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0 || !IsOwnSingleFile(st)) {
    errno = EPERM;
    return FileDescriptor();
  }
  return fd;
}

bool IsOwnSingleFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

FileDescriptor OpenFolder(const std::string& path) {
  const std::optional<Located> at = Walk(path, false, true, 0, 0);
  if (!at) return FileDescriptor();
  return FileDescriptor(openat(at->folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool MakeFolders(const std::string& path, mode_t mode, mode_t parentMode) {
  return Walk(path, true, true, mode, parentMode).has_value();
}

mode_t NewFileMode() {
  // umask cannot be read without setting it; /proc has it without a race.
  mode_t mask = 022;
  FileDescriptor status(open("/proc/self/status", O_RDONLY | O_CLOEXEC));
  if (status) {
    char text[4096];
    const ssize_t n = read(status.Get(), text, sizeof text - 1);
    if (n > 0) {
      text[n] = '\0';
      const std::string_view all(text, static_cast<size_t>(n));
      const size_t at = all.find("Umask:");
      if (at != std::string_view::npos) mask = static_cast<mode_t>(std::strtol(text + at + 6, nullptr, 8));
    }
  }
  return static_cast<mode_t>(0666 & ~mask & ~(S_IWGRP | S_IWOTH));
}

namespace {

// Paths whose walk by the rule ended at a file or folder, by that object's
// device and inode. A plain stat that lands on the same object needs no new
// walk: whatever links it went through, they lead where the rule allowed.
// Any other object (a link swapped in, a file replaced) walks again.
class ResolvedPaths {
 public:
  std::optional<struct stat> Find(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = objects_.find(path);
    if (found == objects_.end() || found->second.first != st.st_dev || found->second.second != st.st_ino) {
      return std::nullopt;
    }
    return st;
  }
  void Remember(const std::string& path, const struct stat& st) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (objects_.size() >= kCapacity) objects_.clear();
    objects_[path] = {st.st_dev, st.st_ino};
  }

 private:
  static constexpr size_t kCapacity = 1024;
  std::mutex mutex_;
  std::unordered_map<std::string, std::pair<dev_t, ino_t>> objects_;
};

// Made when the library loads, so that it outlives the workers at exit.
ResolvedPaths g_resolved;
// In a child of fork a parent thread may have held the lock: the child
// starts with a fresh, empty one (what was there is left, never destroyed).
const bool g_resolvedForkSafe = (pthread_atfork(nullptr, nullptr, [] { RemakeInChild(g_resolved); }), true);

ResolvedPaths& Resolved() { return g_resolved; }

}  // namespace

std::optional<struct stat> StatNoForeignLinks(const std::string& path) {
  if (std::optional<struct stat> known = Resolved().Find(path)) return known;
  const std::optional<Located> at = Locate(path);
  if (!at) return std::nullopt;
  struct stat st {};
  if (fstatat(at->folder.Get(), at->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) Resolved().Remember(path, st);
  return st;
}

FileStamp FileStamp::Of(const struct stat& st) {
  FileStamp s;
  s.exists = true;
  s.device = st.st_dev;
  s.inode = st.st_ino;
  s.size = static_cast<uint64_t>(st.st_size);
  s.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}

bool FileStamp::SettledSince(int64_t nowMs, int64_t granularityMs) const {
  const int64_t latest = std::max(modifiedNs, changedNs) / 1000000;
  return nowMs - latest >= granularityMs;
}

}  // namespace rimo::platform
