// Crash handling for the component's worker threads: the stand-in for the
// structured-exception translator and its minidump.
//
// A fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL) on a thread that installed the
// translator writes a text dump into the package's log directory
// ("<category>__<host>__V<version>_AppCrashDump_DD.MM.YYYY.HH.MM.SS.dmp.txt":
// signal, code, address, thread, version, backtrace, /proc/self/maps), keeps
// the five newest dumps, and then, when the installation asks for it and the
// host is kelohost, shows the crash message on standard error and restarts
// the host; otherwise the signal takes its default action. A fault on any
// other thread goes to the handler that was installed before.
//
// Everything the handler needs is computed when a thread installs it (the
// restart's spawn settings and environment, the zone's offsets for the next
// two years); the handler itself never allocates and uses only
// async-signal-safe calls.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace rimo::diag {

class PreparedStart;

// Installs the translator for the calling thread for as long as it lives
// (the worker holds one for its whole run).
class ExceptionTranslator {
 public:
  // Gives the package's log directory, ending with '/'; empty when there is
  // none. Looked up by a later layer, hence passed in.
  using LogFolderLookup = std::string (*)();

  // Calls packageLogFolder at most once, on this thread, while installing;
  // null means no package log directory.
  explicit ExceptionTranslator(LogFolderLookup packageLogFolder);
  ~ExceptionTranslator();
  ExceptionTranslator(const ExceptionTranslator&) = delete;
  ExceptionTranslator& operator=(const ExceptionTranslator&) = delete;

  bool Installed() const { return slot_ >= 0; }

  // The dump history in logDir (ending with '/'): every old-naming dump is
  // deleted; of the new naming, all but the keep newest. Async-signal-safe.
  static void ClearDumpHistory(const char* logDir, bool newNaming, size_t keep = 5);
  // The 14-digit history key of a new-naming dump's file name ("" when none).
  static std::string HistoryKey(const std::string& fileName);

 private:
  int slot_ = -1;
  std::unique_ptr<PreparedStart> restart_;
};

}  // namespace rimo::diag
