#include "support/TraceRecorder.h"

#include <atomic>
#include <mutex>

namespace rimo::testing {
namespace {

std::mutex g_mutex;
std::map<std::string, int32_t> g_levels;
std::vector<TraceLine> g_lines;
std::atomic<int> g_categoryCalls{0};

int32_t LevelFor(const std::string& category) {
  auto it = g_levels.find(category);
  if (it != g_levels.end()) return it->second;
  it = g_levels.find("*");
  return it != g_levels.end() ? it->second : 0;
}

bool ShouldTrace(int32_t level) {
  std::lock_guard<std::mutex> guard(g_mutex);
  for (const auto& [category, max] : g_levels) {
    if (level <= max) return true;
  }
  return false;
}

bool ShouldTraceCategory(int32_t level, const char* category) {
  g_categoryCalls.fetch_add(1);
  std::lock_guard<std::mutex> guard(g_mutex);
  return level > 0 && level <= LevelFor(category);
}

int32_t Write(int32_t level, const char* category, const char* text) {
  std::lock_guard<std::mutex> guard(g_mutex);
  if (level > LevelFor(category)) return 0;
  g_lines.push_back({level, category, text});
  return 1;
}

}  // namespace

TraceRecorder::TraceRecorder(std::map<std::string, int32_t> levels)
    : adapter_(diag::TraceSystemAdapter::Backend{&ShouldTrace, &ShouldTraceCategory, &Write}) {
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_levels = std::move(levels);
    g_lines.clear();
  }
  g_categoryCalls = 0;
  previous_ = diag::TraceSystemAdapter::SetInstanceForTesting(&adapter_);
}

TraceRecorder::~TraceRecorder() {
  diag::TraceSystemAdapter::SetInstanceForTesting(previous_);
  std::lock_guard<std::mutex> guard(g_mutex);
  g_levels.clear();
  g_lines.clear();
}

std::vector<TraceLine> TraceRecorder::Lines() const {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_lines;
}

std::vector<std::string> TraceRecorder::Matching(const std::string& needle) const {
  std::vector<std::string> out;
  for (const TraceLine& line : Lines()) {
    if (line.text.find(needle) != std::string::npos) out.push_back(line.text);
  }
  return out;
}

int TraceRecorder::ShouldTraceCategoryCalls() const { return g_categoryCalls.load(); }

void TraceRecorder::Clear() {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_lines.clear();
}

}  // namespace rimo::testing
