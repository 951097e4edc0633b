// Records trace lines in memory for the duration of a test.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "diag/TraceSystemAdapter.h"

namespace rimo::testing {

struct TraceLine {
  int32_t level;
  std::string category;
  std::string text;
};

// Installs itself as the process-wide trace adapter while it lives. Levels
// are thresholds per category ("*" for all), as the trace plug-in has them.
class TraceRecorder {
 public:
  explicit TraceRecorder(std::map<std::string, int32_t> levels);
  ~TraceRecorder();

  std::vector<TraceLine> Lines() const;
  // Texts of the recorded lines that contain needle.
  std::vector<std::string> Matching(const std::string& needle) const;
  int ShouldTraceCategoryCalls() const;
  void Clear();

 private:
  diag::TraceSystemAdapter adapter_;
  diag::TraceSystemAdapter* previous_;
};

}  // namespace rimo::testing
