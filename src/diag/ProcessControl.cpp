#include "diag/ProcessControl.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <exception>
#include <string>
#include <vector>

#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/Utf8.h"

extern char** environ;

namespace rimo::diag {

using category::kThreadControl;

namespace {

// The new program starts clean: no blocked signals, default actions for
// what a crash handler catches, a session of its own, and no descriptor but
// the standard three. Both objects are initialised when this returns true.
bool InitStart(posix_spawnattr_t* attributes, posix_spawn_file_actions_t* actions) {
  if (posix_spawnattr_init(attributes) != 0) return false;
  if (posix_spawn_file_actions_init(actions) != 0) {
    posix_spawnattr_destroy(attributes);
    return false;
  }
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGINT, SIGTERM}) sigaddset(&defaults, sig);
  if (posix_spawnattr_setsigmask(attributes, &none) != 0 || posix_spawnattr_setsigdefault(attributes, &defaults) != 0 ||
      posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID) != 0 ||
      posix_spawn_file_actions_addclosefrom_np(actions, 3) != 0) {
    posix_spawn_file_actions_destroy(actions);
    posix_spawnattr_destroy(attributes);
    return false;
  }
  return true;
}

int32_t Spawn(const char* program, char* const argv[]) {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  if (!InitStart(&attributes, &actions)) return kStartFailed;
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program, &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) errno = rc;
  return rc == 0 ? kStartOk : kStartFailed;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (size_t i = 0; i < line.size();) {
    const char c = line[i];
    if (c == '\\') {
      size_t n = 0;
      while (i < line.size() && line[i] == '\\') {
        ++n;
        ++i;
      }
      if (i < line.size() && line[i] == '"') {
        // 2n backslashes and a quote: n backslashes, the quote delimits;
        // 2n+1: n backslashes and a literal quote.
        word.append(n / 2, '\\');
        if (n % 2 == 1) {
          word.push_back('"');
          ++i;
        }
      } else {
        word.append(n, '\\');
      }
      inWord = true;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;
      ++i;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      ++i;
    } else {
      word.push_back(c);
      inWord = true;
      ++i;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

int32_t TC_StartProcessAsyncA(const char* path) {
  RIMO_METHOD_TRACE(kThreadControl, L"ThreadControl::TC_StartProcessAsyncA");
  if (path == nullptr) return ThreadControl::StartProcess(nullptr, nullptr);
  const auto wide = platform::Utf8ToWideExact(path);
  if (!wide) {
    TraceWriteFormat(Error, kThreadControl, L"ConvertToUnicode: Fehler beim Konvertieren des Strings <%S>!", path);
    return ThreadControl::StartProcess(L"", nullptr);
  }
  return ThreadControl::StartProcess(wide->c_str(), nullptr);
}

int32_t ThreadControl::StartProcess(const wchar_t* program, const wchar_t* parameters) {
  RIMO_METHOD_TRACE(kThreadControl, L"ThreadControl::_StartProcess");
  try {
    TraceWriteFormat(Info, kThreadControl,
                     L"Funktionsaufruf mit Prozessname: <%s>, Parameter: <%s>, Warten auf Prozess-Ende: <%s>",
                     program != nullptr ? program : L"NULL", parameters != nullptr ? parameters : L"NULL", L"Nein");
    if (program == nullptr && parameters == nullptr) {
      TraceWrite(Error, kThreadControl, L"Sowohl der Prozessname, als auch die Parameter sind NULL!");
      return kStartBadParameters;
    }
    // A call with parameters but no program is refused: there is no shell to
    // read a command line.
    const std::wstring given = program != nullptr ? program : L"";
    const size_t limit = given.size() + 260;
    if (parameters != nullptr && std::wcslen(parameters) >= limit - 1) {
      TraceWriteFormat(Error, kThreadControl, L"Die Parameter sind zu lang! Maximal <%zu>, tatsächlich <%zu> Zeichen.",
                       limit - 2, std::wcslen(parameters));
      return kStartBadParameters;
    }
    // One leading and one trailing quote are not part of the path.
    std::wstring path = given;
    if (!path.empty() && path.front() == L'"') path.erase(0, 1);
    if (!path.empty() && path.back() == L'"') path.pop_back();
    if (path.size() < 2 || path.front() != L'/') {
      TraceWrite(Error, kThreadControl,
                 L"Der übergebene Dateiname wurde nicht absolut angegeben! Der Prozess wird nicht gestartet!");
      return kStartBadParameters;
    }
    std::wstring quoted = given;
    if (quoted.front() != L'"') quoted.insert(quoted.begin(), L'"');
    if (quoted.size() < 2 || quoted.back() != L'"') quoted.push_back(L'"');
    if (quoted != given) TraceWriteFormat(Info, kThreadControl, L"Prozess-Name wurde gequoted: <%s>.", quoted.c_str());
    const auto narrow = platform::WideToUtf8Exact(path);
    const auto arguments = platform::WideToUtf8Exact(parameters != nullptr ? parameters : L"");
    if (!narrow || !arguments) return kStartBadParameters;
    const std::wstring commandLine = quoted + L" " + (parameters != nullptr ? parameters : L"");
    TraceWriteFormat(Info, kThreadControl, L"Der Programmaufruf <%s> wird gestartet.", commandLine.c_str());
    std::vector<std::string> words = SplitCommandLine(*arguments);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(narrow->c_str()));
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int32_t rc = Spawn(narrow->c_str(), argv.data());
    if (rc != kStartOk) {
      TraceWriteFormat(Error, kThreadControl, L"CreateProcess() lieferte <%d> zurück!", errno);
      return rc;
    }
    // There is no readiness for input to wait for: as for a program without
    // a window, nothing is traced.
    return kStartOk;
  } catch (...) {
    TraceWriteFormat(Critical, kThreadControl, L"Exception in <%s> aufgetreten!", L"ThreadControl::_StartProcess");
    return kStartNoMemory;
  }
}

std::unique_ptr<PreparedStart> PreparedStart::Prepare(const std::string& program) {
  if (program.empty() || program.front() != '/') return nullptr;
  std::unique_ptr<PreparedStart> start(new PreparedStart);
  if (!InitStart(&start->attributes_, &start->actions_)) return nullptr;
  start->initialised_ = true;
  start->program_ = program;
  for (char** at = environ; at != nullptr && *at != nullptr; ++at) start->environment_.emplace_back(*at);
  for (std::string& entry : start->environment_) start->envp_.push_back(entry.data());
  start->envp_.push_back(nullptr);
  start->argv_[0] = start->program_.data();
  start->argv_[1] = nullptr;
  return start;
}

PreparedStart::~PreparedStart() {
  if (!initialised_) return;
  posix_spawn_file_actions_destroy(&actions_);
  posix_spawnattr_destroy(&attributes_);
}

int32_t PreparedStart::Start() const {
  pid_t pid = -1;
  return posix_spawn(&pid, program_.c_str(), &actions_, &attributes_, argv_, const_cast<char* const*>(envp_.data())) == 0
             ? kStartOk
             : kStartFailed;
}

}  // namespace rimo::diag
