#include "platform/Folders.h"

#include <new>
#include <pthread.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/SafeFiles.h"

namespace rimo::platform {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// A home is used as a base only when it is an absolute path other than "/".
bool UsableBase(const std::string& dir) {
  if (dir.empty() || dir[0] != '/') return false;
  return dir.find_first_not_of('/') != std::string::npos;
}

std::string Home() {
  std::string home = Env("HOME");
  if (UsableBase(home)) return home;
  struct passwd pw {};
  struct passwd* result = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &result) == 0 && result != nullptr && pw.pw_dir != nullptr &&
      UsableBase(pw.pw_dir)) {
    return pw.pw_dir;
  }
  return {};
}

// An XDG variable is used only when it holds an absolute path.
std::string XdgOr(const char* variable, const char* homeRelative) {
  std::string value = Env(variable);
  if (UsableBase(value)) return value;
  std::string home = Home();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home.empty() ? std::string() : home + "/" + homeRelative;
}

// The last KELO_ROOT seen and what it resolved to. Made when the library
// loads, so that they outlive the workers at exit.
std::mutex g_rootMutex;
// In a child of fork a parent thread may have held the lock: the child
// starts with a fresh, empty one (what was there is left, never destroyed).
const bool g_rootForkSafe = (pthread_atfork(nullptr, nullptr, [] { new (&g_rootMutex) std::mutex(); }), true);
std::string g_lastRawRoot;
std::string g_lastResolvedRoot;

}  // namespace

std::string KeloRoot() {
  // A relative value is made absolute against the working directory at the
  // time it is first seen, so that every later lookup agrees even when the
  // working directory changes.
  std::string raw = Env("KELO_ROOT");
  std::lock_guard<std::mutex> guard(g_rootMutex);
  if (raw == g_lastRawRoot) return g_lastResolvedRoot;
  std::string root = raw;
  if (!root.empty() && root[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) root = std::string(cwd) + "/" + root;
  }
  while (!root.empty() && root.back() == '/') root.pop_back();
  g_lastRawRoot = std::move(raw);
  g_lastResolvedRoot = root;
  return root;
}

std::string WithTrailingSlash(std::string path) {
  if (!path.empty() && path.back() != '/') path.push_back('/');
  return path;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  return MakeFolders(path, 0755, 0755);
}

std::string SystemFolders::Folder(FolderKind kind, bool create) {
  std::string path;
  switch (kind) {
    case FolderKind::LocalAppDataLow:
      path = XdgOr("XDG_STATE_HOME", ".local/state");
      break;
    case FolderKind::LocalAppData:
      path = XdgOr("XDG_DATA_HOME", ".local/share");
      break;
    case FolderKind::RoamingAppData:
      path = XdgOr("XDG_CONFIG_HOME", ".config");
      break;
    case FolderKind::ProgramData:
      path = KeloRoot() + "/var/lib";
      break;
    case FolderKind::ProgramFiles:
      path = KeloRoot() + "/opt";
      break;
  }
  if (path.empty()) return {};
  if (create) {
    if (kind == FolderKind::ProgramData || kind == FolderKind::ProgramFiles) {
      if (!MakeDirectories(path)) return {};
    } else {
      // Nothing is made in a home or state folder that is not the caller's
      // (root with another user's HOME), and what is made is private.
      if (!BelongsToCaller(path) || !MakeFolders(path, 0700, 0700)) return {};
    }
  }
  return WithTrailingSlash(path);
}

bool BelongsToCaller(const std::string& path) {
  std::string at = path;
  while (at.size() > 1 && at.back() == '/') at.pop_back();
  for (;;) {
    if (const std::optional<struct stat> st = StatNoForeignLinks(at)) {
      return S_ISDIR(st->st_mode) && st->st_uid == geteuid();
    }
    if (errno != ENOENT) return false;
    const size_t slash = at.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    at.resize(slash);
  }
}

namespace {

std::string TempBase() {
  std::string tmp = Env("TMPDIR");
  if (tmp.empty() || tmp[0] != '/') tmp = "/tmp";
  return WithTrailingSlash(tmp);
}

}  // namespace

std::string SystemFolders::TempDir(bool create) { return PrivateTempDir(TempBase(), geteuid(), create); }

FileDescriptor OpenOwnTempDir() { return OpenPrivateTempDir(TempBase(), geteuid()); }

namespace {

// The private folder held open; with create unset, a missing one is left
// missing (errno ENOENT) after the base was checked.
FileDescriptor PrivateTempFolder(const std::string& base, uid_t uid, bool create) {
  // Checked through handles: the base must be a folder in which no other
  // user can rename or replace the user's entry (not writable by others, or
  // sticky), and the entry the user's own folder that only the user can
  // write to; otherwise another user could read or plant the files.
  FileDescriptor parent = OpenFolder(base);
  struct stat st {};
  if (!parent || fstat(parent.Get(), &st) != 0) return FileDescriptor();
  // The base must be the user's own or root's as well: in another user's
  // folder that user could rename the entry away and put a link there.
  if (((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) ||
      (st.st_uid != uid && st.st_uid != 0)) {
    errno = EPERM;
    return FileDescriptor();
  }
  const std::string name = "kelo-" + std::to_string(uid);
  if (!create) {
    struct stat entry {};
    if (fstatat(parent.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) return FileDescriptor();
  } else if (mkdirat(parent.Get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
    return FileDescriptor();
  }
  FileDescriptor dir(openat(parent.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir || fstat(dir.Get(), &st) != 0 || st.st_uid != uid || (st.st_mode & 0022) != 0) {
    errno = EPERM;
    return FileDescriptor();
  }
  return dir;
}

}  // namespace

std::string PrivateTempDir(const std::string& base, uid_t uid, bool create) {
  const std::string path = WithTrailingSlash(base) + "kelo-" + std::to_string(uid) + "/";
  if (PrivateTempFolder(base, uid, create)) return path;
  // Not made when not asked to be: the path it would have.
  return !create && errno == ENOENT ? path : std::string();
}

FileDescriptor OpenPrivateTempDir(const std::string& base, uid_t uid) { return PrivateTempFolder(base, uid, true); }

}  // namespace rimo::platform
