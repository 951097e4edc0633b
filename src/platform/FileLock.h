// Appends to files shared by several processes.
#pragma once

#include <string>
#include <string_view>

namespace rimo::platform {

enum class AppendLock { Taken, TimedOut, Failed };

// Appends text to path (created with mode 0644, never through a symbolic
// link) while holding an exclusive flock on it, waiting at most timeoutMs.
// When the lock cannot be had, marker (depending on the outcome) is written
// in front of the text without the lock. A file that cannot be opened is
// skipped silently. Returns how the lock went.
AppendLock AppendWithFileLock(const std::string& path, std::string_view text, int timeoutMs,
                              std::string_view timeoutMarker, std::string_view failureMarker);

}  // namespace rimo::platform
