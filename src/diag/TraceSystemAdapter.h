// Finds, loads and binds the trace-system plug-in on first use.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Module.h"

namespace rimo::diag {

inline constexpr char kTraceLibraryName[] = "QnTraceSystem001.so";

// Thread-safe. The first call that needs the plug-in searches the candidate
// paths once; afterwards the plug-in is either bound for the life of the
// process or absent for the life of the process (every call answers false).
// The plug-in must accept calls from several threads at once.
class TraceSystemAdapter {
 public:
  // Gives the full paths to try, in order. Called at most once, under the
  // adapter's lock.
  using Locator = std::function<std::vector<std::string>()>;

  explicit TraceSystemAdapter(Locator locator);

  // The three entry points the component calls, bound directly instead of
  // searched; for tests that record lines.
  struct Backend {
    bool (*shouldTrace)(int32_t level);
    bool (*shouldTraceCategory)(int32_t level, const char* category);
    int32_t (*write)(int32_t level, const char* category, const char* text);
  };
  explicit TraceSystemAdapter(const Backend& backend);
  ~TraceSystemAdapter();
  TraceSystemAdapter(const TraceSystemAdapter&) = delete;
  TraceSystemAdapter& operator=(const TraceSystemAdapter&) = delete;

  // The adapter every trace call of the process uses. The result belongs to
  // the process and must not be deleted.
  static TraceSystemAdapter& Instance();
  // Makes adapter the process-wide one (null restores the default); returns
  // the previous override. For tests only; not thread-safe against tracing.
  static TraceSystemAdapter* SetInstanceForTesting(TraceSystemAdapter* adapter);

  // The default search: the program directory of the component, the host
  // executable's directory, then this module's directory.
  static std::vector<std::string> DefaultCandidates();

  bool ShouldTrace(int32_t level);
  bool ShouldTraceCategory(int32_t level, const char* category);
  // Converts category to narrow text of at most 127 bytes first.
  bool ShouldTraceCategory(int32_t level, const wchar_t* category);
  bool Write(int32_t level, const char* category, const char* text);
  // Converts category (at most 127 bytes) and text (at most 4095 bytes) first.
  bool Write(int32_t level, const wchar_t* category, const wchar_t* text);

  // Binds the plug-in once; true while it is bound.
  bool Load();

  // How often the candidate paths were searched (0 or 1).
  int SearchCount() const { return searchCount_.load(std::memory_order_relaxed); }
  // The path the plug-in was loaded from; empty when none.
  std::string LoadedPath() const;

 private:
  using ShouldTraceFn = bool (*)(int32_t);
  using ShouldTraceCategoryFn = bool (*)(int32_t, const char*);
  using WriteFn = int32_t (*)(int32_t, const char*, const char*);

  bool Ready() {
    if (bound_.load(std::memory_order_acquire)) return true;
    if (failed_.load(std::memory_order_relaxed)) return false;
    return Load();
  }

  Locator locator_;
  std::recursive_mutex mutex_;
  bool usable_ = true;
  bool loadAttempted_ = false;
  platform::LoadedLibrary library_;
  std::string loadedPath_;
  std::atomic<bool> bound_{false};
  std::atomic<bool> failed_{false};
  std::atomic<int> searchCount_{0};
  ShouldTraceFn shouldTrace_ = nullptr;
  ShouldTraceCategoryFn shouldTraceCategory_ = nullptr;
  WriteFn write_ = nullptr;
};

}  // namespace rimo::diag
