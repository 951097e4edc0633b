// Starting another program without waiting for it (the stand-in for
// CreateProcess): posix_spawn, no shell, no inherited descriptors.
#pragma once

#include <spawn.h>

#include <cstdint>
#include <memory>
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

};

// The start of one program without arguments, prepared in advance (its
// spawn settings, arguments and a copy of the environment as it was then),
// so that Start neither allocates nor calls anything but async-signal-safe
// functions: what a crash handler needs.
class PreparedStart {
 public:
  // Null when the program path is not absolute or the settings cannot be made.
  static std::unique_ptr<PreparedStart> Prepare(const std::string& program);
  ~PreparedStart();
  PreparedStart(const PreparedStart&) = delete;
  PreparedStart& operator=(const PreparedStart&) = delete;

  // 0 started, 1002 the start failed.
  int32_t Start() const;

 private:
  PreparedStart() = default;

  bool initialised_ = false;
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
  std::string program_;
  std::vector<std::string> environment_;
  std::vector<char*> envp_;
  char* argv_[2] = {};
};

}  // namespace rimo::diag
