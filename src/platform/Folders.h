// Machine-wide and per-user folders: the stand-ins for the shell folders and
// the temp path. KELO_ROOT (default empty) prefixes every machine-wide one.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/Handles.h"

namespace rimo::platform {

// $KELO_ROOT without a trailing '/', or "" for the real machine. A relative
// value is taken against the working directory when that value is first seen.
std::string KeloRoot();

// Kinds of folders the directory library asks for.
enum class FolderKind {
  LocalAppDataLow = 0,  // ${XDG_STATE_HOME:-$HOME/.local/state}/
  LocalAppData = 1,     // ${XDG_DATA_HOME:-$HOME/.local/share}/
  RoamingAppData = 2,   // ${XDG_CONFIG_HOME:-$HOME/.config}/
  ProgramData = 3,      // $KELO_ROOT/var/lib/
  ProgramFiles = 4,     // $KELO_ROOT/opt/
};

// Resolves folders. Thread-safe. Implementations may fail (empty result).
class IFolders {
 public:
  virtual ~IFolders() = default;
  // The folder with a trailing '/'; created when missing and create is set
  // (a per-user folder 0700, and only inside a folder of the caller's own).
  // Empty when it cannot be determined or created. $HOME is used as a base
  // only when it is absolute and not "/".
  virtual std::string Folder(FolderKind kind, bool create) = 0;
  // The user's private temp directory ${TMPDIR:-/tmp}/kelo-<uid>/ (mode
  // 0700), made when missing and create is set (otherwise the path it would
  // have); empty when it exists but is not a directory of the user's own
  // that only the user can write to, or cannot be made safely.
  virtual std::string TempDir(bool create) = 0;
};

// The real folders, from the environment at each call.
class SystemFolders final : public IFolders {
 public:
  std::string Folder(FolderKind kind, bool create) override;
  std::string TempDir(bool create) override;
};

// base + "kelo-<uid>/", created 0700 when missing; empty (errno EPERM) when
// base is another user's (not uid's, not root's) or writable by others
// without being sticky, or the entry is a link, not a directory, not uid's,
// or writable by group or others. Checked through directory handles.
std::string PrivateTempDir(const std::string& base, uid_t uid, bool create = true);
// The same folder, held open (O_RDONLY | O_DIRECTORY): what is checked is
// what the caller uses, with no path to be swapped in between.
FileDescriptor OpenPrivateTempDir(const std::string& base, uid_t uid);
// The caller's private folder in $TMPDIR (or /tmp), held open.
FileDescriptor OpenOwnTempDir();

// Creates path and its missing parents (mode 0755), following links only by
// the rule of SafeFiles.h. True when path is a directory afterwards. errno
// is ENOTDIR when a non-directory is in the way.
bool MakeDirectories(const std::string& path);

// True when the deepest existing folder of path (path itself, or its
// nearest existing parent) is a folder of the caller's own: a home or state
// folder in which the caller may make folders.
bool BelongsToCaller(const std::string& path);

bool IsDirectory(const std::string& path);

// Appends '/' unless path is empty or already ends with one.
std::string WithTrailingSlash(std::string path);

}  // namespace rimo::platform
