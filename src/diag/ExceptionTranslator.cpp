#include "diag/ExceptionTranslator.h"

#include <new>
#include <dirent.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

#include "diag/ProcessControl.h"
#include "diag/Trace.h"
#include "platform/ElfVersion.h"
#include "platform/Folders.h"
#include "platform/Registry.h"

namespace rimo::diag {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kMaxThreads = 64;
constexpr size_t kAltStackSize = 256 * 1024;
constexpr size_t kMaxHistory = 512;
constexpr int kMaxShifts = 16;
constexpr long kZoneHorizon = 2L * 366 * 86400;
constexpr char kMarker[] = "_AppCrashDump_";
constexpr char kOptionsKey[] = "Software\\QUANDEL Kelo compact\\Options";
constexpr char kCaption[] = " KeloHost-Prozess muss neu gestartet werden ";
constexpr char kMessage[] =
    "Der Kelopaket-Prozess KeloHost.exe hat eine Ausnahmesituation verursacht.\n"
    "Es wird eine sog. Mini-Dump-Datei zu Analysezwecken ins Kelopaket-Logverzeichnis geschrieben.";

// What the handler of one thread needs, prepared when the thread installs
// the translator; fixed-size so that the handler allocates nothing.
struct Prepared {
  std::atomic<pid_t> tid{0};
  std::atomic<int> handling{0};  // the signal being handled, 0 when none
  char logDir[1024];             // ends with '/'; empty when there is none
  bool makeLogDir;               // the folder may be made (in a folder of the user's own) when a dump is written
  char category[128];
  char hostPath[1024];
  char hostName[256];
  char hostExtension[64];
  char version[64];
  bool showMessage;
  const PreparedStart* restart;  // null when the host is not restarted
  // The zone's UTC offsets from the worker's start on: offset[i] holds from
  // shiftFrom[i] (shiftFrom[0] is the earliest time) until the next shift.
  long shiftFrom[kMaxShifts];
  long offset[kMaxShifts];
  int shifts;
  void* altStack;
  // Scratch space for the history: directory entries and their names.
  char* scratch;
};

Prepared g_slots[kMaxThreads];
struct sigaction g_previous[NSIG];
// The handlers are installed while a translator is (counted under the
// mutex), and the actions found before are given back when the last goes.
std::mutex g_handlersMutex;
int g_handlersInstalled = 0;
// In a child of fork a parent thread may have held the lock: the child
// starts with a fresh, empty one (what was there is left, never destroyed).
void GiveBackHandlers(bool all);
// A child of fork has no worker (and none of the parent's translators): its
// handlers are given back until a worker of its own installs them again.
const bool g_handlersForkSafe = (pthread_atfork(nullptr, nullptr,
                                                [] {
                                                  new (&g_handlersMutex) std::mutex();
                                                  GiveBackHandlers(true);
                                                }),
                                 true);

struct Entry {
  char key[20];
  char name[256];
};
constexpr size_t kScratchSize = 64 * 1024 + kMaxHistory * sizeof(Entry);

// ------------------------------------------------ async-signal-safe helpers

size_t Length(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

class Text {
 public:
  Text(char* buffer, size_t size) : buffer_(buffer), size_(size) { buffer_[0] = '\0'; }
  Text& operator<<(const char* s) {
    while (*s != '\0' && length_ + 1 < size_) buffer_[length_++] = *s++;
    buffer_[length_] = '\0';
    return *this;
  }
  Text& Number(unsigned long value, int base = 10, int width = 0) {
    char digits[32];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[value % static_cast<unsigned>(base)];
      value /= static_cast<unsigned>(base);
    } while (value != 0 && n < 32);
    while (n < width && n < 32) digits[n++] = '0';
    while (n > 0 && length_ + 1 < size_) buffer_[length_++] = digits[--n];
    buffer_[length_] = '\0';
    return *this;
  }
  const char* c_str() const { return buffer_; }
  size_t size() const { return length_; }

 private:
  char* buffer_;
  size_t size_;
  size_t length_ = 0;
};

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// '*' matches any run of characters; nothing else is special.
bool Matches(const char* pattern, const char* name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') {
    for (const char* n = name;; ++n) {
      if (Matches(pattern + 1, n)) return true;
      if (*n == '\0') return false;
    }
  }
  return *pattern == *name && Matches(pattern + 1, name + 1);
}

// The civil date and time of t seconds since the epoch (the caller adds the
// zone's offset: localtime_r is not async-signal-safe).
void CivilTime(long t, int* year, int* month, int* day, int* hour, int* minute, int* second) {
  long days = t / 86400;
  long rest = t % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  *hour = static_cast<int>(rest / 3600);
  *minute = static_cast<int>(rest / 60 % 60);
  *second = static_cast<int>(rest % 60);
  // Howard Hinnant's days-to-civil.
  days += 719468;
  const long era = (days >= 0 ? days : days - 146096) / 146097;
  const long doe = days - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

// "DD.MM.YYYY.HH.MM.SS" at the start of s as "YYYYMMDDHHMMSS"; false when not.
bool KeyOf(const char* s, char* key) {
  static const int kDigits[] = {0, 1, 3, 4, 6, 7, 8, 9, 11, 12, 14, 15, 17, 18};
  for (int i : kDigits) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  const int order[] = {6, 7, 8, 9, 3, 4, 0, 1, 11, 12, 14, 15, 17, 18};
  for (int i = 0; i < 14; ++i) key[i] = s[order[i]];
  key[14] = '\0';
  return true;
}

void HistoryKeyOf(const char* name, char* key) {
  key[0] = '\0';
  const char* at = std::strstr(name, kMarker);
  if (at == nullptr) return;
  at += sizeof kMarker - 1;
  if (Length(at) < 19 || !KeyOf(at, key)) key[0] = '\0';
}

void ClearHistory(const char* logDir, bool newNaming, size_t keep, char* scratch) {
  if (logDir == nullptr || logDir[0] == '\0') return;
  const char* mask = newNaming ? "*__V*_AppCrashDump_*.dmp.txt" : "*__AppCrashDump_*.dmp.txt";
  const int dir = open(logDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  char* buffer = scratch;
  auto* entries = reinterpret_cast<Entry*>(scratch + 64 * 1024);
  size_t count = 0;
  for (;;) {
    const long n = syscall(SYS_getdents64, dir, buffer, 64 * 1024);
    if (n <= 0) break;
    for (long at = 0; at < n;) {
      auto* d = reinterpret_cast<struct dirent64*>(buffer + at);
      at += d->d_reclen;
      if (count >= kMaxHistory || !Matches(mask, d->d_name) || Length(d->d_name) >= sizeof entries[0].name) continue;
      Entry& e = entries[count++];
      std::memcpy(e.name, d->d_name, Length(d->d_name) + 1);
      if (newNaming) {
        HistoryKeyOf(e.name, e.key);
      } else {
        e.key[0] = '\0';
      }
    }
  }
  // Oldest first; equal keys keep their order, each counted by itself.
  for (size_t i = 1; i < count; ++i) {
    for (size_t j = i; j > 0 && std::strcmp(entries[j - 1].key, entries[j].key) > 0; --j) {
      Entry t = entries[j];
      entries[j] = entries[j - 1];
      entries[j - 1] = t;
    }
  }
  const size_t remove = newNaming ? (count > keep ? count - keep : 0) : count;
  for (size_t i = 0; i < remove; ++i) unlinkat(dir, entries[i].name, 0);
  close(dir);
}

long OffsetAt(const Prepared& p, long t) {
  long result = p.offset[0];
  for (int i = 1; i < p.shifts && p.shiftFrom[i] <= t; ++i) result = p.offset[i];
  return result;
}

long ZoneOffset(time_t t) {
  struct tm local {};
  return localtime_r(&t, &local) != nullptr ? local.tm_gmtoff : 0;
}

// The zone's shifts from now until the horizon: the offset sampled once a
// day, each change located to the second. Rules that change twice within
// one day are seen as no change.
void LoadZone(Prepared& p, time_t now) {
  p.shifts = 1;
  p.offset[0] = ZoneOffset(now);
  p.shiftFrom[0] = std::numeric_limits<long>::min();
  for (time_t day = now; day < now + kZoneHorizon && p.shifts < kMaxShifts; day += 86400) {
    const long before = p.offset[p.shifts - 1];
    const time_t next = day + 86400;
    const long after = ZoneOffset(next);
    if (after == before) continue;
    time_t lo = day;  // offset before
    time_t hi = next;  // offset after
    while (hi - lo > 1) {
      const time_t mid = lo + (hi - lo) / 2;
      (ZoneOffset(mid) == before ? lo : hi) = mid;
    }
    p.shiftFrom[p.shifts] = hi;
    p.offset[p.shifts] = after;
    ++p.shifts;
  }
}

Prepared* SlotOf(pid_t tid) {
  for (Prepared& p : g_slots) {
    if (p.tid.load(std::memory_order_acquire) == tid) return &p;
  }
  return nullptr;
}

// Restores the default action and raises the signal again on this thread;
// a fault re-executed after returning ends the same way.
void DieWith(int sig) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), sig);
}

void ChainToPrevious(int sig, siginfo_t* info, void* context) {
  const struct sigaction& previous = g_previous[sig];
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(sig, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
    previous.sa_handler(sig);
  } else {
    DieWith(sig);
  }
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    default: return "?";
  }
}

// Makes the dump folder and its missing parents (0700), with mkdir only:
// safe in a signal handler. Prepared at start, made only when a dump comes.
void MakeDumpFolder(char* path) {
  for (char* at = path + 1; *at != '\0'; ++at) {
    if (*at != '/') continue;
    *at = '\0';
    mkdir(path, 0700);
    *at = '/';
  }
}

void WriteDump(Prepared& p, int sig, siginfo_t* info, pid_t tid) {
  if (p.makeLogDir && p.logDir[0] != '\0') MakeDumpFolder(p.logDir);
  ClearHistory(p.logDir, false, 0, p.scratch);
  ClearHistory(p.logDir, true, 5, p.scratch);
  if (p.logDir[0] == '\0') return;
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  int year, month, day, hour, minute, second;
  CivilTime(now.tv_sec + OffsetAt(p, now.tv_sec), &year, &month, &day, &hour, &minute, &second);
  char nameBuffer[2048];
  Text name(nameBuffer, sizeof nameBuffer);
  name << p.logDir << p.category << "__" << p.hostName << p.hostExtension << "__V" << p.version << kMarker;
  name.Number(static_cast<unsigned>(day), 10, 2) << ".";
  name.Number(static_cast<unsigned>(month), 10, 2) << ".";
  name.Number(static_cast<unsigned>(year), 10, 4) << ".";
  name.Number(static_cast<unsigned>(hour), 10, 2) << ".";
  name.Number(static_cast<unsigned>(minute), 10, 2) << ".";
  name.Number(static_cast<unsigned>(second), 10, 2);
  char uniqueBuffer[2048];
  Text unique(uniqueBuffer, sizeof uniqueBuffer);
  unique << name.c_str() << "-";
  unique.Number(static_cast<unsigned long>(tid)) << ".dmp.txt";
  name << ".dmp.txt";
  // Two threads faulting in the same second never share a file.
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) fd = open(unique.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  char lineBuffer[2048];
  Text head(lineBuffer, sizeof lineBuffer);
  head << "Exception aufgetreten! Thread-ID <";
  head.Number(static_cast<unsigned long>(tid)) << ">\nsignal: ";
  head.Number(static_cast<unsigned>(sig)) << " (" << SignalName(sig) << ")\nsignal code: ";
  head.Number(static_cast<unsigned>(info != nullptr ? info->si_code : 0)) << "\nfault address: 0x";
  head.Number(reinterpret_cast<unsigned long>(info != nullptr ? info->si_addr : nullptr), 16) << "\nprocess: ";
  head.Number(static_cast<unsigned long>(getpid())) << "\nthread: ";
  head.Number(static_cast<unsigned long>(tid)) << "\nmodule version: " << p.version << "\nhost: " << p.hostPath
                                               << "\n\nbacktrace:\n";
  WriteAll(fd, head.c_str(), head.size());
  void* frames[64];
  const int depth = backtrace(frames, 64);
  backtrace_symbols_fd(frames, depth, fd);
  const char mapsHeader[] = "\n/proc/self/maps:\n";
  WriteAll(fd, mapsHeader, sizeof mapsHeader - 1);
  const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps >= 0) {
    char chunk[4096];
    for (;;) {
      const ssize_t n = read(maps, chunk, sizeof chunk);
      if (n <= 0) break;
      WriteAll(fd, chunk, static_cast<size_t>(n));
    }
    close(maps);
  }
  close(fd);
}

void OnFault(int sig, siginfo_t* info, void* context) {
  const auto tid = static_cast<pid_t>(syscall(SYS_gettid));
  Prepared* p = SlotOf(tid);
  if (p == nullptr) {
    ChainToPrevious(sig, info, context);
    return;
  }
  int expected = 0;
  if (!p->handling.compare_exchange_strong(expected, sig)) {
    // A fault inside the handler: the original signal ends the process.
    DieWith(expected);
    return;
  }
  WriteDump(*p, sig, info, tid);
  if (p->showMessage) {
    char messageBuffer[1200];
    Text text(messageBuffer, sizeof messageBuffer);
    text << kCaption << "\n" << kMessage << "\n";
    WriteAll(STDERR_FILENO, text.c_str(), text.size());
  }
  if (p->restart != nullptr) {
    p->restart->Start();
    _exit(255);  // the exit code -1
  }
  DieWith(sig);
}

bool IsOurs(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &OnFault;
}

void InstallHandlers() {
  std::lock_guard<std::mutex> guard(g_handlersMutex);
  if (g_handlersInstalled++ > 0) return;
  struct sigaction action {};
  action.sa_sigaction = &OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int sig : kSignals) {
    struct sigaction previous {};
    sigaction(sig, &action, &previous);
    // A chain never leads to itself (a copy of this library once loaded at
    // this address, whose handler was never given back).
    if (IsOurs(previous)) {
      previous = {};
      previous.sa_handler = SIG_DFL;
    }
    g_previous[sig] = previous;
  }
}

// Gives back the actions found before, where the handler is still this
// library's (a host that installed its own since keeps it). all: whatever
// the count (the library is being unloaded).
void GiveBackHandlers(bool all) {
  std::lock_guard<std::mutex> guard(g_handlersMutex);
  if (!all && --g_handlersInstalled > 0) return;
  // At unload whatever the count: a host may have put this library's
  // handler back itself.
  g_handlersInstalled = 0;
  for (int sig : kSignals) {
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) == 0 && IsOurs(current)) sigaction(sig, &g_previous[sig], nullptr);
  }
}

// Made when the library loads: when it is unloaded, no signal action points
// into it any longer, whatever translator is left.
struct HandlersGivenBackAtUnload {
  ~HandlersGivenBackAtUnload() { GiveBackHandlers(true); }
} g_givenBackAtUnload;

void Copy(char* out, size_t size, const std::string& text) {
  const size_t n = std::min(size - 1, text.size());
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

bool SwitchOn(platform::IRegistry& registry, const char* name) {
  const auto value = registry.ReadDword(kOptionsKey, name);
  return value && (*value & 0xFFFF) != 0;
}

std::string ThisModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&InstallHandlers), &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

}  // namespace

ExceptionTranslator::ExceptionTranslator(LogFolderLookup packageLogFolder) {
  // Find a free slot and prepare everything the handler will need.
  for (int i = 0; i < kMaxThreads; ++i) {
    pid_t none = 0;
    // Reserve with a marker that matches no thread, then fill, then publish.
    if (g_slots[i].tid.compare_exchange_strong(none, -1)) {
      slot_ = i;
      break;
    }
  }
  if (slot_ < 0) {
    TraceWrite(Error, category::kDataDll, L"Der ExceptionTranslator konnte nicht installiert werden.");
    return;
  }
  Prepared& p = g_slots[slot_];
  // The dump folder is looked up, not made: a job that does not crash
  // leaves no folder behind. Without one, the user's own state folder takes
  // the dumps, made when the first is written.
  std::string narrowLog = packageLogFolder != nullptr ? packageLogFolder() : std::string();
  p.makeLogDir = false;
  if (narrowLog.empty() || !platform::IsDirectory(narrowLog)) {
    const std::string state = platform::SystemFolders().Folder(platform::FolderKind::LocalAppDataLow, false);
    narrowLog = state.empty() ? std::string() : state + "Quandel/Log/Kelo/";
    p.makeLogDir = !narrowLog.empty() && platform::BelongsToCaller(narrowLog);
    if (!p.makeLogDir) narrowLog.clear();
  }
  Copy(p.logDir, sizeof p.logDir, narrowLog);
  Copy(p.category, sizeof p.category, "Kelo.Rimo.DataDll");
  char exe[1024] = {};
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  const std::string hostPath = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
  const std::string base = hostPath.substr(hostPath.rfind('/') + 1);
  const size_t dot = base.rfind('.');
  Copy(p.hostPath, sizeof p.hostPath, hostPath);
  Copy(p.hostName, sizeof p.hostName, dot == std::string::npos || dot == 0 ? base : base.substr(0, dot));
  Copy(p.hostExtension, sizeof p.hostExtension, dot == std::string::npos || dot == 0 ? "" : base.substr(dot));
  std::string version = "0.0.0.0";
  if (const auto v = platform::ReadFileVersion(ThisModulePath())) {
    version = std::to_string(v->parts[0]) + "." + std::to_string(v->parts[1]) + "." + std::to_string(v->parts[2]) +
              "." + std::to_string(v->parts[3]);
  }
  Copy(p.version, sizeof p.version, version);
  // The switches count only for the package's host program itself: its
  // file name (without an extension), not any folder on its path.
  std::string lower = dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool keloHost = lower == "kelohost" && !hostPath.empty() && hostPath[0] == '/';
  platform::RegistryFile registry;
  p.showMessage = keloHost && SwitchOn(registry, "ShowCrashMessage");
  if (keloHost && SwitchOn(registry, "ShouldRestartKeloHost")) restart_ = PreparedStart::Prepare(hostPath);
  p.restart = restart_.get();
  LoadZone(p, time(nullptr));
  p.handling.store(0);
  p.scratch = static_cast<char*>(std::malloc(kScratchSize));
  p.altStack = std::malloc(kAltStackSize);
  // backtrace loads its unwinder on first use: never inside the handler.
  void* warm[2];
  backtrace(warm, 2);
  if (p.scratch == nullptr || p.altStack == nullptr) {
    std::free(p.scratch);
    std::free(p.altStack);
    p.tid.store(0);
    slot_ = -1;
    return;
  }
  stack_t stack{};
  stack.ss_sp = p.altStack;
  stack.ss_size = kAltStackSize;
  sigaltstack(&stack, nullptr);
  InstallHandlers();
  p.tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_release);
}

ExceptionTranslator::~ExceptionTranslator() {
  if (slot_ < 0) return;
  Prepared& p = g_slots[slot_];
  p.tid.store(-1, std::memory_order_release);
  stack_t disable{};
  disable.ss_flags = SS_DISABLE;
  sigaltstack(&disable, nullptr);
  std::free(p.altStack);
  std::free(p.scratch);
  p.altStack = nullptr;
  p.scratch = nullptr;
  p.restart = nullptr;
  p.tid.store(0, std::memory_order_release);
  GiveBackHandlers(false);
}

void ExceptionTranslator::ClearDumpHistory(const char* logDir, bool newNaming, size_t keep) {
  std::unique_ptr<char, decltype(&std::free)> scratch(static_cast<char*>(std::malloc(kScratchSize)), &std::free);
  if (scratch != nullptr) ClearHistory(logDir, newNaming, keep, scratch.get());
}

std::string ExceptionTranslator::HistoryKey(const std::string& fileName) {
  char key[20];
  HistoryKeyOf(fileName.c_str(), key);
  return key;
}

}  // namespace rimo::diag
