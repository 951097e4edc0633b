#include "config/RimoPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>

#include "config/DirectoryLibrary.h"
#include "diag/DiagnosticTexts.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/Folders.h"
#include "platform/SafeFiles.h"
#include "platform/Utf8.h"

namespace rimo::config {
namespace {

using diag::TraceWriteFormat;
using diag::category::kSuppLib;
constexpr size_t kMaxPath = 260;

bool SafeFileName(const wchar_t* userId) {
  if (userId == nullptr || userId[0] == L'\0') return false;
  if (std::wcscmp(userId, L".") == 0 || std::wcscmp(userId, L"..") == 0) return false;
  return std::wcschr(userId, L'/') == nullptr;
}

// The data directory of this component, or empty.
std::string DataDirectory() {
  char dir[kMaxPath];
  if (CDB_GetDataDir(kComponentId, dir, sizeof dir, true, kDataCategory, kDataVersion) != kResultOk) return {};
  return dir;
}

// The caller's own data folder for this component:
// ${XDG_DATA_HOME:-~/.local/share}/Quandel/Daten/P4100002/RIMO/ (not made
// here), or empty when the caller has no usable home of its own.
std::string OwnDataDirectory() {
  const std::string base = platform::SystemFolders().Folder(platform::FolderKind::LocalAppData, false);
  if (base.empty() || !platform::BelongsToCaller(base)) return {};
  return base + "Quandel/Daten/" + kComponentId + "/" + kDataCategory + "/";
}

std::string WithoutSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool Writable(const std::string& folder) {
  return faccessat(AT_FDCWD, WithoutSlash(folder).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// A shared folder in which the caller's files are safe: writable by the
// caller, and either the caller's own that no one else can write to, or
// sticky, so that no user can rename, replace or delete another's files. A
// missing folder counts when the caller may make it (sticky) in its parent.
// Root's or the caller's: no other user can rename, replace or empty it.
bool OwnedSafely(const struct stat& st) { return st.st_uid == 0 || st.st_uid == geteuid(); }

bool SafeSharedFolder(const std::string& folder, const std::string& parent) {
  // The parent must be root's or the caller's and writable by no one else,
  // or someone could swap the kind's folder itself.
  const std::optional<struct stat> up = platform::StatNoForeignLinks(WithoutSlash(parent));
  if (!up || !S_ISDIR(up->st_mode) || !OwnedSafely(*up) || (up->st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
  const std::optional<struct stat> st = platform::StatNoForeignLinks(WithoutSlash(folder));
  if (!st) return errno == ENOENT && Writable(parent);
  if (!S_ISDIR(st->st_mode) || !Writable(folder) || !OwnedSafely(*st)) return false;
  if (st->st_uid == geteuid() && (st->st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
  // A folder another user owns could be emptied by that user: only root's
  // or the caller's sticky folder keeps every user's files theirs.
  return (st->st_mode & S_ISVTX) != 0;
}

enum class FileState { kMissing, kCallers, kForeign };

// Whether the file at path is one the caller may use as its own: a regular
// file of the caller's with one name. A link another user planted, a FIFO,
// another user's file, a second name of one of the caller's files (another
// user can make that with a hard link, whatever the kernel's link
// protections say) are all foreign.
FileState StateOf(const std::string& path) {
  const std::optional<struct stat> st = platform::StatNoForeignLinks(path);
  if (!st) return errno == ENOENT ? FileState::kMissing : FileState::kForeign;
  return platform::IsOwnSingleFile(*st) ? FileState::kCallers : FileState::kForeign;
}

// The path of the caller's file name in the kind's folder ("Response" or
// "Status"): in the machine-wide data folder when the caller's files are
// safe there, else in the caller's own data folder.
std::string UserFilePath(const char* kind, const std::string& name, bool sharedContested) {
  const std::string shared = sharedContested ? std::string() : DataDirectory();
  const std::string own = OwnDataDirectory();
  const std::string sharedFile = shared.empty() ? std::string() : shared + kind + "/" + name;
  const std::string ownFile = own.empty() ? std::string() : own + kind + "/" + name;
  const bool sharedSafe = !shared.empty() && SafeSharedFolder(shared + kind + "/", shared);
  const FileState sharedState = shared.empty() ? FileState::kForeign : StateOf(sharedFile);
  if (sharedSafe && sharedState == FileState::kCallers) return sharedFile;
  if (!ownFile.empty() && StateOf(ownFile) == FileState::kCallers) return ownFile;
  if (sharedSafe && sharedState == FileState::kMissing) return sharedFile;
  if (!ownFile.empty()) {
    TraceWriteFormat(diag::Info, kSuppLib,
                     L"Der gemeinsame Ordner [%S] ist für die Dateien dieses Benutzers nicht sicher nutzbar; es wird "
                     L"der eigene Ordner [%S] verwendet.",
                     (shared + kind + "/").c_str(), (own + kind + "/").c_str());
    return ownFile;
  }
  // No folder of the caller's own, and the shared one unsafe or holding
  // another user's file: nothing of another user is ever used.
  TraceWriteFormat(diag::Error, kSuppLib,
                   L"Für die Datei [%S] gibt es keinen Ordner dieses Benutzers: der gemeinsame Ordner [%S] ist "
                   L"nicht sicher nutzbar oder hält die Datei eines anderen Benutzers, und ein eigener Datenordner "
                   L"fehlt.",
                   name.c_str(), (shared + kind + "/").c_str());
  return std::string();
}

}  // namespace

bool CRimoPaths::UsableUserId(const wchar_t* userId) {
  // Only Unicode characters (no lone surrogate, nothing above U+10FFFF):
  // an ID must name the same files and the same request wherever it goes.
  return SafeFileName(userId) && platform::WideToUtf8Exact(userId).has_value();
}

namespace {

// userId's file of the kind, in UTF-8, when it fits a path of 259 bytes:
// the response file and the status INI follow one rule, so that a user has
// both or neither.
std::optional<std::string> FittingUserFilePath(const char* kind, const wchar_t* userId, const char* extension,
                                               bool sharedContested) {
  if (!SafeFileName(userId)) return std::nullopt;
  const auto narrowId = platform::WideToUtf8Exact(userId);
  if (!narrowId) return std::nullopt;
  const std::string path = UserFilePath(kind, *narrowId + extension, sharedContested);
  // The path must name exactly the folder found: a byte that is not UTF-8
  // would otherwise become another character.
  if (path.empty() || !platform::Utf8ToWideExact(path)) return std::nullopt;
  // Both files must fit, or the user has neither: the other one's path is
  // checked too ("Response/…xml" is the longer where both share a folder).
  const bool response = std::strcmp(kind, "Response") == 0;
  const std::string other =
      UserFilePath(response ? "Status" : "Response", *narrowId + (response ? ".ini" : ".xml"), sharedContested);
  for (const std::string* checked : {&path, &other}) {
    if (checked->size() >= kMaxPath) {
      TraceWriteFormat(diag::Error, kSuppLib, diag::text::kUserPathTooLong, checked->c_str(),
                       static_cast<int>(kMaxPath - 1));
      return std::nullopt;
    }
  }
  return path;
}

}  // namespace

bool CRimoPaths::GetResponseFilePath(const wchar_t* userId, wchar_t* out, bool sharedContested) const {
  RIMO_METHOD_TRACE(kSuppLib, L"CRimoPaths::GetResponseFilePath");
  if (out == nullptr) return false;
  const std::optional<std::string> path = FittingUserFilePath("Response", userId, ".xml", sharedContested);
  if (!path) return false;
  const std::wstring wide = platform::Utf8ToWide(*path);
  std::wmemcpy(out, wide.c_str(), wide.size() + 1);
  return true;
}

bool CRimoPaths::GetStatusIniPath(const wchar_t* userId, char* out, bool sharedContested) const {
  RIMO_METHOD_TRACE(kSuppLib, L"CRimoPaths::GetStatusIniPath");
  if (out == nullptr) return false;
  const std::optional<std::string> path = FittingUserFilePath("Status", userId, ".ini", sharedContested);
  if (!path) return false;
  std::memcpy(out, path->c_str(), path->size() + 1);
  return true;
}

bool CRimoPaths::MakeFolderOf(const std::string& filePath) {
  const std::string folder = filePath.substr(0, filePath.rfind('/') + 1);
  if (platform::IsDirectory(folder)) return true;
  const std::string own = OwnDataDirectory();
  if (!own.empty() && folder.compare(0, own.size(), own) == 0) {
    // The caller's own folders are private.
    return platform::MakeFolders(folder, 0700, 0700);
  }
  // The kind's folder in the machine-wide data folder the package (root)
  // made is shared and sticky: every user may keep files there, no one may
  // touch another's. In a data folder of a user's own it is that user's,
  // private as the user's own folders are.
  const std::string dataFolder = WithoutSlash(folder.substr(0, folder.rfind('/', folder.size() - 2) + 1));
  const std::optional<struct stat> parent = platform::StatNoForeignLinks(dataFolder);
  const uid_t owner = parent ? parent->st_uid : geteuid();
  return platform::MakeFolders(folder, owner == 0 ? 01777 : 0700, 0755);
}

bool CRimoPaths::LibraryPath(const char* fileName, char* out, size_t outSize) const {
  if (out == nullptr || outSize == 0) return false;
  char dir[kMaxPath] = {};
  const bool found = CDB_GetSystemDir(dir, sizeof dir, 0) == kResultOk;
  const std::string path = std::string(dir) + fileName;
  if (path.size() + 1 > outSize) {
    std::memset(out, 0, outSize);
    return found;
  }
  std::memcpy(out, path.c_str(), path.size() + 1);
  return true;
}

bool CRimoPaths::GetCardBaseLibraryPath(char* out, size_t outSize) const {
  RIMO_METHOD_TRACE(kSuppLib, L"CRimoPaths::GetCardBaseLibraryPath");
  return LibraryPath(kCardBaseLibrary, out, outSize);
}

bool CRimoPaths::GetAsn1LibraryPath(char* out, size_t outSize) const {
  RIMO_METHOD_TRACE(kSuppLib, L"CRimoPaths::GetAsn1LibraryPath");
  return LibraryPath(kAsn1Library, out, outSize);
}

}  // namespace rimo::config
