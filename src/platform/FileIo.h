// Whole-file reads and writes that never leave a torn file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rimo::platform {

// Writes all of data to fd, retrying after interruptions; false on error.
bool WriteFully(int fd, std::string_view data);

// Replaces path with content atomically: a temporary file beside it
// (".<name>.tmp-XXXXXXXX") is written, flushed to disk and renamed over path,
// so that readers and a crash see either the old or the new file. A
// symbolic link is followed (and kept: its target is replaced) only by the
// rule of SafeFiles.h; anything but a regular file in path's place is
// refused, and so is another user's file (EPERM): what this process writes
// is always its own. An existing file keeps its mode; no file is left
// writable by group or others, and a new file gets what the umask allows of
// 0644. A file of this user's,
// with no other name and no write right for others, that holds content
// already is flushed and left as it is. errno tells why when false.
bool ReplaceFileAtomically(const std::string& path, std::string_view content);

// Removes the temporary files that writers of path killed mid-write left
// behind (the user's own only). Call only while holding path's write lock.
void RemoveStaleTemporaries(const std::string& path);

// Reads a whole regular file of at most maxSize bytes, opened without
// blocking and never through a refused link; nullopt when missing,
// unreadable, not a regular file or larger (errno tells which).
std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxSize = 16 * 1024 * 1024);
// As ReadWholeFile, for a file that must be the caller's own with one name
// (EPERM otherwise): checked on the open file, so that nothing swapped in
// after a check of the path is read.
std::optional<std::string> ReadOwnFile(const std::string& path, size_t maxSize = 16 * 1024 * 1024);

}  // namespace rimo::platform
