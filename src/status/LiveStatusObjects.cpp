#include "status/LiveStatusObjects.h"

#include <new>
#include <pthread.h>
#include <mutex>
#include <unordered_map>

namespace rimo::status {
namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<IScDataStatus*, bool> objects;  // object, being removed
};

// Made before any component exists (its first status object makes it), so
// destroyed only after the exit handler has stopped every worker.
Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

// In a child of fork a parent thread may have held the lock: the child
// starts with a fresh, empty one (what was there is left, never destroyed).
const bool g_registryForkSafe = (pthread_atfork(nullptr, nullptr, [] { new (&TheRegistry().mutex) std::mutex(); }), true);

}  // namespace

void LiveStatusObjects::Add(ScDataStatus* status) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.objects[status] = false;
}

bool LiveStatusObjects::BeginRemoval(IScDataStatus* status) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.mutex);
  auto it = r.objects.find(status);
  if (it == r.objects.end() || it->second) return false;
  it->second = true;
  return true;
}

void LiveStatusObjects::FinishRemoval(ScDataStatus* status) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.objects.erase(status);
}

void LiveStatusObjects::ReleaseLocksHeldByThisThread(int record, int list) {
  if (record <= 0 && list <= 0) return;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.mutex);
  for (auto& [status, removing] : r.objects) {
    static_cast<ScDataStatus*>(status)->ReleaseLocksHeldByThisThread(record, list);
  }
}

}  // namespace rimo::status
