#include "component/PendingReleases.h"

#include <condition_variable>
#include <mutex>
#include <unordered_map>

namespace rimo::component {
namespace {

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  std::unordered_map<IScDataStatus*, int> pending;
};

State& TheState() {
  static State state;
  return state;
}

}  // namespace

void PendingReleases::Add(IScDataStatus* status) {
  State& s = TheState();
  std::lock_guard<std::mutex> guard(s.mutex);
  ++s.pending[status];
}

void PendingReleases::Done(IScDataStatus* status) {
  State& s = TheState();
  // Signalled under the mutex: a waiter (the exit wait among them) returns
  // only after this call has stopped touching the state.
  std::lock_guard<std::mutex> guard(s.mutex);
  auto it = s.pending.find(status);
  if (it != s.pending.end() && --it->second == 0) s.pending.erase(it);
  s.changed.notify_all();
}

bool PendingReleases::WaitForAll(std::chrono::milliseconds limit) {
  State& s = TheState();
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.changed.wait_for(lock, limit, [&] { return s.pending.empty(); });
}

void PendingReleases::WaitFor(IScDataStatus* status) {
  State& s = TheState();
  std::unique_lock<std::mutex> lock(s.mutex);
  s.changed.wait(lock, [&] { return s.pending.count(status) == 0; });
}

}  // namespace rimo::component
