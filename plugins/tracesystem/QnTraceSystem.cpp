// The trace-system plug-in: filters lines by category and level and appends
// them to listeners (standard error or text files).
//
// Configuration comes from the environment at InitTraceSystem:
//   KELO_TRACE       "category=level" pairs separated by commas; "*" stands
//                    for every category. A level traces itself and every more
//                    severe (smaller) level. Unset: nothing is traced.
//   KELO_TRACE_FILE  file to append lines to (the caller's own regular file,
//                    never through another user's link; created 0600);
//                    unset: standard error.
// Every entry point may be called from many threads at once.
#include <pthread.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/SafeFiles.h"

#define QN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr char kConsole[] = "console";

struct CategoryLevel {
  std::string category;  // "*" for every category
  int32_t level;
};

// Immutable once published; replaced as a whole on every change.
struct Config {
  bool enabled = true;
  int32_t appLevel = 0;  // level of "*"
  std::vector<CategoryLevel> categories;
  int32_t maxLevel = 0;  // the highest level any category traces
};

struct Listener {
  std::string name;  // "console" or a file path
  int fd = -1;
  bool ownsFd = false;
  std::vector<std::string> excludedCategories;
  // -1: the lines the configuration traces; otherwise every line up to this
  // level, whatever the configuration says (a host's own diagnostic file).
  int32_t ownLevel = -1;
};

std::once_flag g_initOnce;
std::atomic<const Config*> g_config{nullptr};
std::mutex g_mutex;  // guards g_retired and g_listeners
// A child of fork never finds this lock held by a thread it does not have:
// the lock is taken around the fork and let go on both sides.
const bool g_mutexForkSafe = [] {
  pthread_atfork([] { g_mutex.lock(); }, [] { g_mutex.unlock(); }, [] { g_mutex.unlock(); });
  return true;
}();
std::vector<std::unique_ptr<const Config>> g_retired;  // readers may still hold these
std::vector<Listener> g_listeners;
// The highest level a listener of its own level takes (0: none): lines up to
// it are made whatever the configuration says.
std::atomic<int32_t> g_ownLevel{0};

bool SameCategory(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The level configured for category: its own entry, else the entry of the
// closest dotted parent, else "*".
int32_t LevelFor(const Config& config, const char* category) {
  int32_t best = config.appLevel;
  size_t bestLength = 0;
  for (const CategoryLevel& entry : config.categories) {
    if (entry.category == "*") continue;
    const size_t n = entry.category.size();
    if (SameCategory(entry.category, category)) {
      return entry.level;
    }
    if (n > bestLength && strncasecmp(entry.category.c_str(), category, n) == 0 && category[n] == '.') {
      best = entry.level;
      bestLength = n;
    }
  }
  return best;
}

void Recompute(Config& config) {
  config.appLevel = 0;
  config.maxLevel = 0;
  for (const CategoryLevel& entry : config.categories) {
    if (entry.category == "*") config.appLevel = entry.level;
    if (entry.level > config.maxLevel) config.maxLevel = entry.level;
  }
}

void Publish(std::unique_ptr<Config> next) {
  Recompute(*next);
  std::lock_guard<std::mutex> guard(g_mutex);
  g_config.store(next.get(), std::memory_order_release);
  g_retired.push_back(std::move(next));
}

// Copies the current configuration for a change; call with no lock held.
std::unique_ptr<Config> CopyConfig() {
  const Config* current = g_config.load(std::memory_order_acquire);
  return current != nullptr ? std::make_unique<Config>(*current) : std::make_unique<Config>();
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  size_t e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::unique_ptr<Config> ParseConfig(const char* text) {
  auto config = std::make_unique<Config>();
  if (text == nullptr) return config;
  std::string all = text;
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t comma = all.find(',', pos);
    if (comma == std::string::npos) comma = all.size();
    std::string item = all.substr(pos, comma - pos);
    pos = comma + 1;
    size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    std::string category = Trim(item.substr(0, eq));
    std::string value = Trim(item.substr(eq + 1));
    char* end = nullptr;
    errno = 0;
    long level = std::strtol(value.c_str(), &end, 10);
    if (category.empty() || value.empty() || *end != '\0' || errno != 0 || level < 0 || level > INT32_MAX) {
      continue;  // a malformed pair is skipped
    }
    config->categories.push_back({category, static_cast<int32_t>(level)});
  }
  return config;
}

// One of this process's own descriptors, named through /proc or /dev/fd.
bool OwnDescriptorPath(const std::string& name) {
  for (const char* prefix : {"/proc/self/fd/", "/dev/fd/"}) {
    const size_t length = std::strlen(prefix);
    if (name.compare(0, length, prefix) == 0 && name.size() > length &&
        name.find_first_not_of("0123456789", length) == std::string::npos) {
      return true;
    }
  }
  return false;
}

// A trace file is opened as every other file of the component: never
// through another user's link, without blocking, created 0600, and used
// only when it is a regular file of the caller's own with one name. A
// descriptor the process holds (/proc/self/fd/N) is its own file already:
// it is reopened for appending when it is a regular file.
int OpenTraceFile(const std::string& name) {
  if (OwnDescriptorPath(name)) {
    const int fd = open(name.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
      close(fd);
      return -1;
    }
    return fd;
  }
  const std::optional<rimo::platform::Located> at = rimo::platform::Locate(name);
  if (!at) return -1;
  return rimo::platform::OpenOwnFile(at->folder.Get(), at->name, O_WRONLY | O_APPEND).Release();
}

bool AddListenerLocked(const std::string& name) {
  for (const Listener& l : g_listeners) {
    if (l.name == name) return true;
  }
  Listener listener;
  listener.name = name;
  if (name == kConsole) {
    listener.fd = STDERR_FILENO;
  } else {
    listener.fd = OpenTraceFile(name);
    if (listener.fd < 0) return false;
    listener.ownsFd = true;
  }
  g_listeners.push_back(std::move(listener));
  return true;
}

// Set once Init has run to its end: later calls need not pass call_once,
// which costs more than the trace check itself.
std::atomic<bool> g_initDone{false};

void Init() {
  if (g_initDone.load(std::memory_order_acquire)) return;
  std::call_once(g_initOnce, [] {
    Publish(ParseConfig(std::getenv("KELO_TRACE")));
    const char* file = std::getenv("KELO_TRACE_FILE");
    std::lock_guard<std::mutex> guard(g_mutex);
    if (file != nullptr && file[0] != '\0') {
      AddListenerLocked(file);
    } else {
      AddListenerLocked(kConsole);
    }
    g_initDone.store(true, std::memory_order_release);
  });
}

const Config& Current() {
  Init();
  return *g_config.load(std::memory_order_acquire);
}

void WriteAll(int fd, const std::string& line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a line that cannot be written is dropped
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// "YYYY-MM-DD HH:MM:SS.mmm<TAB>pid<TAB>tid<TAB>level<TAB>category<TAB>text\n"
std::string FormatLine(int32_t level, const char* category, const char* text) {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  struct tm local {};
  localtime_r(&tv.tv_sec, &local);
  char head[128];
  std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d\t%d\t%ld\t%d\t",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(tv.tv_usec / 1000), static_cast<int>(getpid()),
                static_cast<long>(syscall(SYS_gettid)), static_cast<int>(level));
  std::string line = head;
  line += category;
  line += '\t';
  // One line per call: embedded line breaks would split a record.
  for (const char* p = text; *p != '\0'; ++p) line += (*p == '\n' || *p == '\r') ? ' ' : *p;
  line += '\n';
  return line;
}

bool Traced(const Config& config, int32_t level, const char* category) {
  return config.enabled && level > 0 && level <= LevelFor(config, category);
}

// Whether any listener takes a line of level and category.
bool Wanted(int32_t level, const char* category) {
  return Traced(Current(), level, category) || (level > 0 && level <= g_ownLevel.load(std::memory_order_relaxed));
}

void Emit(int32_t level, const char* category, const std::string& line) {
  const bool configured = Traced(Current(), level, category);
  std::lock_guard<std::mutex> guard(g_mutex);
  for (const Listener& listener : g_listeners) {
    if (listener.ownLevel >= 0 ? level > listener.ownLevel : !configured) continue;
    bool excluded = false;
    for (const std::string& c : listener.excludedCategories) excluded |= SameCategory(c, category);
    if (!excluded) WriteAll(listener.fd, line);
  }
}

}  // namespace

QN_EXPORT void InitTraceSystem() { Init(); }

QN_EXPORT bool ShouldTrace(int32_t level) {
  const Config& config = Current();
  return level > 0 && ((config.enabled && level <= config.maxLevel) ||
                       level <= g_ownLevel.load(std::memory_order_relaxed));
}

QN_EXPORT bool ShouldTraceCategory(int32_t level, const char* category) {
  if (category == nullptr || category[0] == '\0') return false;
  return Wanted(level, category);
}

QN_EXPORT int32_t Write(int32_t level, const char* category, const char* text) {
  if (category == nullptr || text == nullptr || !Wanted(level, category)) return 0;
  Emit(level, category, FormatLine(level, category, text));
  return 1;
}

QN_EXPORT int32_t WriteEntry(int32_t level, const char* category, const char* method) {
  if (method == nullptr) return 0;
  return Write(level, category, (std::string("---> ") + method).c_str());
}

QN_EXPORT int32_t Dump(int32_t level, const char* category, const void* data, int32_t length) {
  if (category == nullptr || (data == nullptr && length > 0) || length < 0 ||
      !Wanted(level, category)) {
    return 0;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (int32_t offset = 0; offset < length; offset += 16) {
    char row[16 * 3 + 16];
    int n = std::snprintf(row, sizeof row, "%08x ", static_cast<unsigned>(offset));
    for (int32_t i = offset; i < offset + 16 && i < length; ++i) {
      n += std::snprintf(row + n, sizeof row - static_cast<size_t>(n), " %02x", bytes[i]);
    }
    Emit(level, category, FormatLine(level, category, row));
  }
  return 1;
}

QN_EXPORT int32_t DumpEntry(int32_t level, const char* category, const void* data, int32_t length) {
  return Dump(level, category, data, length);
}

// Replaces the category levels with those of text (KELO_TRACE syntax); null
// reads KELO_TRACE again.
QN_EXPORT bool ConfigureTrace(const char* text) {
  Init();
  auto next = ParseConfig(text != nullptr ? text : std::getenv("KELO_TRACE"));
  next->enabled = Current().enabled;
  Publish(std::move(next));
  return true;
}

QN_EXPORT bool IsTracingEnabled() { return Current().enabled; }

QN_EXPORT void SetTracingEnabled(bool enabled) {
  auto next = CopyConfig();
  next->enabled = enabled;
  Publish(std::move(next));
}

QN_EXPORT void SetAppTracingLevel(int32_t level) {
  Init();
  auto next = CopyConfig();
  bool found = false;
  for (CategoryLevel& entry : next->categories) {
    if (entry.category == "*") entry.level = level, found = true;
  }
  if (!found) next->categories.push_back({"*", level});
  Publish(std::move(next));
}

QN_EXPORT int32_t GetAppTracingLevel() { return Current().appLevel; }

QN_EXPORT bool SetLevel(const char* category, int32_t level) {
  if (category == nullptr || category[0] == '\0') return false;
  if (std::strcmp(category, "*") == 0) {
    SetAppTracingLevel(level);
    return true;
  }
  Init();
  auto next = CopyConfig();
  bool found = false;
  for (CategoryLevel& entry : next->categories) {
    if (SameCategory(entry.category, category)) entry.level = level, found = true;
  }
  if (!found) next->categories.push_back({category, level});
  Publish(std::move(next));
  return true;
}

QN_EXPORT int32_t GetLevel(const char* category) {
  if (category == nullptr) return 0;
  return LevelFor(Current(), category);
}

QN_EXPORT bool ListenerExists(const char* name) {
  if (name == nullptr) return false;
  Init();
  std::lock_guard<std::mutex> guard(g_mutex);
  for (const Listener& l : g_listeners) {
    if (l.name == name) return true;
  }
  return false;
}

// name is "console" or the path of a text file.
QN_EXPORT bool AddListener(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  Init();
  std::lock_guard<std::mutex> guard(g_mutex);
  return AddListenerLocked(name);
}

QN_EXPORT bool AddConsoleListener() { return AddListener(kConsole); }

QN_EXPORT bool AddTextfileListener(const char* path) {
  if (path == nullptr || std::strcmp(path, kConsole) == 0) return false;
  return AddListener(path);
}

// A text file that takes every line up to level, whatever the configuration
// traces (and while tracing is off): a host's own diagnostic file, which
// changes nothing for the other listeners.
QN_EXPORT bool AddTextfileListenerAtLevel(const char* path, int32_t level) {
  if (path == nullptr || path[0] == '\0' || std::strcmp(path, kConsole) == 0 || level <= 0) return false;
  Init();
  std::lock_guard<std::mutex> guard(g_mutex);
  for (const Listener& l : g_listeners) {
    if (l.name == path) return false;
  }
  if (!AddListenerLocked(path)) return false;
  g_listeners.back().ownLevel = level;
  if (level > g_ownLevel.load()) g_ownLevel.store(level);
  return true;
}

// Stops the listener from receiving lines of category.
QN_EXPORT bool RemoveListenerCategory(const char* name, const char* category) {
  if (name == nullptr || category == nullptr) return false;
  Init();
  std::lock_guard<std::mutex> guard(g_mutex);
  for (Listener& l : g_listeners) {
    if (l.name == name) {
      l.excludedCategories.emplace_back(category);
      return true;
    }
  }
  return false;
}

QN_EXPORT bool RemoveListener(const char* name) {
  if (name == nullptr) return false;
  Init();
  std::lock_guard<std::mutex> guard(g_mutex);
  for (auto it = g_listeners.begin(); it != g_listeners.end(); ++it) {
    if (it->name == name) {
      if (it->ownsFd) close(it->fd);
      g_listeners.erase(it);
      int32_t own = 0;
      for (const Listener& l : g_listeners) own = std::max(own, l.ownLevel);
      g_ownLevel.store(own);
      return true;
    }
  }
  return false;
}

QN_EXPORT bool RemoveCategory(const char* category) {
  if (category == nullptr) return false;
  Init();
  auto next = CopyConfig();
  auto& entries = next->categories;
  const size_t before = entries.size();
  std::erase_if(entries, [&](const CategoryLevel& e) { return SameCategory(e.category, category); });
  const bool removed = entries.size() != before;
  Publish(std::move(next));
  return removed;
}

QN_EXPORT void RemoveAllCategories() {
  Init();
  auto next = CopyConfig();
  next->categories.clear();
  Publish(std::move(next));
}

// Closes every listener's file; lines written afterwards go nowhere until a
// listener is added again.
QN_EXPORT void DoneTraceSystem() {
  Init();
  std::lock_guard<std::mutex> guard(g_mutex);
  for (Listener& l : g_listeners) {
    if (l.ownsFd) close(l.fd);
  }
  g_listeners.clear();
}
