// A log file of the user's own that never grows without bound.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rimo::platform {

struct LogLimits {
  uint64_t maxBytes = 1u << 20;  // a log past this is rotated
  int keep = 2;                  // older logs kept: path.1 (newest) .. path.<keep>
  int lockTimeoutMs = 1000;
  // Written in front of a line that goes out without the lock, once the
  // time to wait for it has run out.
  std::string_view timeoutMarker;
};

// Appends text to the log at path: the caller's own regular file (created
// 0600, opened without blocking, never through a link that the rule of
// SafeFiles.h refuses), written under an exclusive lock. Once the file has
// reached maxBytes it is renamed to path.1 (path.1 to path.2, and so on;
// the oldest dropped) and a new one begun. When the lock is not had in time
// the line is written all the same, behind limits.timeoutMarker. False when
// it cannot be written: nothing then reaches a file that is not the user's.
bool AppendToLog(const std::string& path, std::string_view text, const LogLimits& limits = {});

}  // namespace rimo::platform
