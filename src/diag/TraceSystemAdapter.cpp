#include "diag/TraceSystemAdapter.h"

#include "diag/ComponentDirectory.h"
#include "platform/Utf8.h"

namespace rimo::diag {
namespace {

// Every one of these must be exported for the plug-in to be used.
constexpr const char* kEntryPoints[] = {
    "Write",           "WriteEntry",          "Dump",
    "DumpEntry",       "ConfigureTrace",      "IsTracingEnabled",
    "SetTracingEnabled", "SetAppTracingLevel", "GetAppTracingLevel",
    "ShouldTrace",     "ShouldTraceCategory", "SetLevel",
    "GetLevel",        "ListenerExists",      "AddListener",
    "AddConsoleListener", "AddTextfileListener", "RemoveListenerCategory",
    "RemoveListener",  "RemoveCategory",      "RemoveAllCategories",
    "DoneTraceSystem",
};

std::atomic<TraceSystemAdapter*> g_override{nullptr};

}  // namespace

TraceSystemAdapter::TraceSystemAdapter(Locator locator) : locator_(std::move(locator)) {}

TraceSystemAdapter::TraceSystemAdapter(const Backend& backend)
    : loadAttempted_(true),
      shouldTrace_(backend.shouldTrace),
      shouldTraceCategory_(backend.shouldTraceCategory),
      write_(backend.write) {
  bound_.store(true, std::memory_order_release);
}

TraceSystemAdapter::~TraceSystemAdapter() {
  // The plug-in stays loaded: lines may still be written by other modules'
  // static destructors, and the plug-in keeps its own files open.
  library_.Leak();
}

TraceSystemAdapter& TraceSystemAdapter::Instance() {
  if (TraceSystemAdapter* o = g_override.load(std::memory_order_acquire)) return *o;
  static TraceSystemAdapter instance(&DefaultCandidates);
  return instance;
}

TraceSystemAdapter* TraceSystemAdapter::SetInstanceForTesting(TraceSystemAdapter* adapter) {
  return g_override.exchange(adapter, std::memory_order_acq_rel);
}

std::vector<std::string> TraceSystemAdapter::DefaultCandidates() {
  std::vector<std::string> candidates;
  for (const std::string& dir :
       {ComponentProgramDirectory(), platform::ExecutableDirectory(), platform::ThisModuleDirectory()}) {
    if (!dir.empty()) candidates.push_back(dir + kTraceLibraryName);
  }
  return candidates;
}

bool TraceSystemAdapter::Load() {
  if (!usable_) return false;
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (bound_.load(std::memory_order_relaxed)) return true;
  if (loadAttempted_) return false;
  // Set before the search so that a trace call made by this thread during the
  // search finds the plug-in unavailable instead of searching again.
  loadAttempted_ = true;
  searchCount_.fetch_add(1, std::memory_order_relaxed);

  auto fail = [this] {
    failed_.store(true, std::memory_order_relaxed);
    return false;
  };

  std::string path;
  for (const std::string& candidate : locator_ ? locator_() : std::vector<std::string>{}) {
    if (platform::FileExists(candidate)) {
      path = candidate;
      break;
    }
  }
  if (path.empty() || !library_.Open(path)) return fail();

  for (const char* name : kEntryPoints) {
    if (library_.Symbol(name) == nullptr) {
      library_.Leak();
      return fail();
    }
  }
  auto init = reinterpret_cast<void (*)()>(library_.Symbol("InitTraceSystem"));
  if (init == nullptr) {
    library_.Leak();
    return fail();
  }
  shouldTrace_ = reinterpret_cast<ShouldTraceFn>(library_.Symbol("ShouldTrace"));
  shouldTraceCategory_ = reinterpret_cast<ShouldTraceCategoryFn>(library_.Symbol("ShouldTraceCategory"));
  write_ = reinterpret_cast<WriteFn>(library_.Symbol("Write"));
  init();
  loadedPath_ = path;
  bound_.store(true, std::memory_order_release);
  return true;
}

std::string TraceSystemAdapter::LoadedPath() const {
  return bound_.load(std::memory_order_acquire) ? loadedPath_ : std::string();
}

bool TraceSystemAdapter::ShouldTrace(int32_t level) {
  if (!Ready()) return false;
  return shouldTrace_(level);
}

bool TraceSystemAdapter::ShouldTraceCategory(int32_t level, const char* category) {
  if (category == nullptr || category[0] == '\0' || !Ready()) return false;
  return shouldTraceCategory_(level, category);
}

bool TraceSystemAdapter::ShouldTraceCategory(int32_t level, const wchar_t* category) {
  if (category == nullptr || category[0] == L'\0' || !Ready()) return false;
  // No category is traced above the highest level of all: with tracing
  // off, that answer comes without naming the category.
  if (!shouldTrace_(level)) return false;
  char narrow[128];
  platform::WideToUtf8(category, narrow, sizeof narrow);
  return ShouldTraceCategory(level, narrow);
}

bool TraceSystemAdapter::Write(int32_t level, const char* category, const char* text) {
  if (category == nullptr || category[0] == '\0' || text == nullptr || !Ready()) return false;
  write_(level, category, text);
  return true;
}

bool TraceSystemAdapter::Write(int32_t level, const wchar_t* category, const wchar_t* text) {
  if (category == nullptr || category[0] == L'\0' || text == nullptr) return false;
  char narrowCategory[128];
  char narrowText[4096];
  platform::WideToUtf8(category, narrowCategory, sizeof narrowCategory);
  platform::WideToUtf8(text, narrowText, sizeof narrowText);
  return Write(level, narrowCategory, narrowText);
}

}  // namespace rimo::diag
