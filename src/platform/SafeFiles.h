// Files on a machine that several users share.
//
// Every path is resolved through directory handles, one component at a
// time, never by a path string checked first and used later. A symbolic
// link is followed only when the caller made it, or when the owner of the
// folder that holds it made it and no one else can write that folder (the
// kernel's rule for sticky folders, applied to every folder): a link that
// another user planted is never followed. Files are opened without
// blocking and used only when they are regular files, so a FIFO or a
// device in a file's place fails at once.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Handles.h"

namespace rimo::platform {

// True when a link with the status linkStat, in the folder with the status
// folderStat, may be followed by this process.
bool LinkMayBeFollowed(const struct stat& linkStat, const struct stat& folderStat);

// A file's folder, opened, and its name in it: what the path names once
// every link on the way (and a link at its end) is resolved by the rule.
struct Located {
  FileDescriptor folder;  // O_PATH handle of the folder
  std::string name;       // the last component; never ".", ".." or empty
  std::string folderPath;  // the folder's resolved path, with a trailing '/'
};

// Resolves path (absolute) to its folder and name. errno: ELOOP for a link
// that may not be followed (or too many links), ENOENT for a missing
// folder, ENOTDIR, EINVAL for a path without a file name.
std::optional<Located> Locate(const std::string& path);

// Opens path for reading: without blocking, never through a refused link,
// only a regular file (EISDIR for a directory, EINVAL for a FIFO, socket or
// device). The descriptor reads in blocking mode.
FileDescriptor OpenRegularFile(const std::string& path, int flags = 0);

// Opens (creating, mode 0600) name in folder with flags added: never
// through a link, without blocking, and only when it is a regular file of
// the caller's own with one name (EPERM otherwise): a lock or log no other
// user can plant, read, hold or link elsewhere.
FileDescriptor OpenOwnFile(int folder, const std::string& name, int flags);

// Opens the folder at path (a directory handle, O_RDONLY), links resolved
// by the rule.
FileDescriptor OpenFolder(const std::string& path);

// Creates path and its missing parents; each folder it creates gets mode
// (exactly, whatever the umask), its parents parentMode. True when path is
// a folder afterwards. Links on the way are followed only by the rule.
bool MakeFolders(const std::string& path, mode_t mode, mode_t parentMode);

// True for a regular file of the caller's with exactly one name: one that
// no other user can have linked into a place of their choosing.
bool IsOwnSingleFile(const struct stat& st);

// Mode for a file this process creates: what the umask leaves of 0666, but
// never writable by group or others.
mode_t NewFileMode();

// The file's owner and type at path (links resolved by the rule); nullopt
// when it does not exist or cannot be reached.
std::optional<struct stat> StatNoForeignLinks(const std::string& path);

// Device, inode, size and change times of a file: equal stamps mean the
// file was not changed in between, except within the file system's time
// granularity, which the caller handles (see SettledSince).
struct FileStamp {
  bool exists = false;
  uint64_t device = 0, inode = 0, size = 0;
  int64_t modifiedNs = 0, changedNs = 0;
  bool operator==(const FileStamp&) const = default;

  static FileStamp Of(const struct stat& st);
  // True when the file was last changed at least granularityMs before
  // nowMs (milliseconds of the real-time clock): a later write within the
  // same tick of the file times would leave the stamp equal.
  bool SettledSince(int64_t nowMs, int64_t granularityMs = 2000) const;
};

}  // namespace rimo::platform
