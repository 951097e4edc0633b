// Starting another program without waiting for it (the stand-in for
// CreateProcess): posix_spawn, no shell, no inherited descriptors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rimo::diag {

inline constexpr int32_t kStartOk = 0;
inline constexpr int32_t kStartBadParameters = 1000;
inline constexpr int32_t kStartFailed = 1002;
inline constexpr int32_t kStartNoMemory = 1003;

// The words of a command line's arguments: blanks and tabs separate them,
// double quotes group them; before a quote, 2n backslashes give n and the
// quote delimits, 2n+1 give n and a literal quote; other backslashes stay.
std::vector<std::string> SplitCommandLine(const std::string& line);

// Starts the program at path (absolute: it begins with '/', after one leading
// and one trailing double quote are removed) without arguments. 0 started,
// 1000 no or a relative path, 1002 the start failed, 1003 no memory.
int32_t TC_StartProcessAsyncA(const char* path);

class ThreadControl {
 public:
  // The work of TC_StartProcessAsyncA; parameters (may be null) are split
  // into the program's arguments as a command line is. Parameters longer than
  // the program path plus 258 characters are refused with 1000.
  static int32_t StartProcess(const wchar_t* program, const wchar_t* parameters);

  // Starts an absolute program path without arguments, with a clean signal
  // mask and default signal actions; only async-signal-safe calls (for the
  // crash handler, which has checked the path before). 0 or 1002.
  static int32_t SpawnPrepared(const char* program);
};

}  // namespace rimo::diag
