#include "diag/ComponentDirectory.h"

#include <atomic>

namespace rimo::diag {
namespace {

// Constant-initialized, so a registration made by any static initializer
// survives.
std::atomic<ComponentDirectoryLookup> g_lookup{nullptr};

}  // namespace

void SetComponentDirectoryLookup(ComponentDirectoryLookup lookup) {
  g_lookup.store(lookup, std::memory_order_release);
}

std::string ComponentProgramDirectory() {
  const ComponentDirectoryLookup lookup = g_lookup.load(std::memory_order_acquire);
  return lookup != nullptr ? lookup() : std::string();
}

}  // namespace rimo::diag
