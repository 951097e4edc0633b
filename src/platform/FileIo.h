// Whole-file reads and writes that never leave a torn file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rimo::platform {

// Writes all of data to fd, retrying after interruptions; false on error.
bool WriteFully(int fd, std::string_view data);

// Replaces path with content atomically: a temporary file beside it is
// written, flushed to disk and renamed over path, so that readers and a crash
// see either the old or the new file. Keeps the old file's permissions
// (0644 for a new file). errno tells why when false.
bool ReplaceFileAtomically(const std::string& path, std::string_view content);

// Reads a whole regular file of at most maxSize bytes; nullopt when missing,
// unreadable or larger.
std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxSize = 16 * 1024 * 1024);

}  // namespace rimo::platform
