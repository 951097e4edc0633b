#include "platform/Folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace rimo::platform {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string Home() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  struct passwd pw {};
  struct passwd* result = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &result) == 0 && result != nullptr && pw.pw_dir != nullptr) {
    return pw.pw_dir;
  }
  return {};
}

// An XDG variable is used only when it holds an absolute path.
std::string XdgOr(const char* variable, const char* homeRelative) {
  std::string value = Env(variable);
  if (!value.empty() && value[0] == '/') return value;
  std::string home = Home();
  return home.empty() ? std::string() : home + "/" + homeRelative;
}

}  // namespace

std::string KeloRoot() {
  // A relative value is made absolute against the working directory at the
  // time it is first seen, so that every later lookup agrees even when the
  // working directory changes.
  static std::mutex mutex;
  static std::string lastRaw;
  static std::string lastResolved;
  std::string raw = Env("KELO_ROOT");
  std::lock_guard<std::mutex> guard(mutex);
  if (raw == lastRaw) return lastResolved;
  std::string root = raw;
  if (!root.empty() && root[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) root = std::string(cwd) + "/" + root;
  }
  while (!root.empty() && root.back() == '/') root.pop_back();
  lastRaw = std::move(raw);
  lastResolved = root;
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
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  struct stat st {};
  if (stat(p.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = EEXIST;
    return false;
  }
  size_t slash = p.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(p.substr(0, slash))) return false;
  if (mkdir(p.c_str(), 0755) == 0) return true;
  // Another process may have created it meanwhile.
  return errno == EEXIST && IsDirectory(p);
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
  if (create && !MakeDirectories(path)) return {};
  return WithTrailingSlash(path);
}

std::string SystemFolders::TempDir() {
  std::string tmp = Env("TMPDIR");
  if (tmp.empty() || tmp[0] != '/') tmp = "/tmp";
  return PrivateTempDir(WithTrailingSlash(tmp), geteuid());
}

std::string PrivateTempDir(const std::string& base, uid_t uid) {
  const std::string dir = base + "kelo-" + std::to_string(uid);
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  // Whoever made it, it must be the user's own directory that no one else
  // can write to: otherwise another user could read or plant the files.
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 0022) != 0) {
    errno = EPERM;
    return {};
  }
  return dir + "/";
}

}  // namespace rimo::platform
