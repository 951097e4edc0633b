// The four exported functions of the component library.
#include <pthread.h>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>

#include "component/ExitGuard.h"
#include "component/RimoData.h"
#include "diag/MethodTrace.h"
#include "status/LiveStatusObjects.h"
#include "status/ScDataStatus.h"

namespace {

using rimo::component::RimoData;
using rimo::diag::category::kDataDll;
using rimo::status::LiveStatusObjects;
using rimo::status::ScDataStatus;

// The objects these exports made and have not destroyed yet. A delete call
// checks membership before it touches the object, so a foreign or stale
// pointer is refused without being dereferenced.
template <typename T>
class LiveObjects {
 public:
  void Add(T* object) {
    std::lock_guard<std::mutex> guard(mutex_);
    objects_.insert(object);
  }
  bool Remove(T* object) {
    std::lock_guard<std::mutex> guard(mutex_);
    return objects_.erase(object) == 1;
  }

  // In a child of fork a parent thread may have held the lock.
  void FreshLockInChild() { new (&mutex_) std::mutex(); }

 private:
  std::mutex mutex_;
  std::unordered_set<T*> objects_;
};

LiveObjects<IRimoData>& LiveComponentObjects() {
  static LiveObjects<IRimoData> objects;
  return objects;
}

const bool g_objectsForkSafe = (pthread_atfork(nullptr, nullptr, [] { LiveComponentObjects().FreshLockInChild(); }),
                                true);

}  // namespace

extern "C" {

// No exception ever leaves an export: a failure is the call's failure value.

RIMO_EXPORT IScDataStatus* CreateRimoDataStatusObject() {
  RIMO_METHOD_TRACE(kDataDll, L"CreateRimoDataStatusObject");
  try {
    auto status = std::make_unique<ScDataStatus>();
    LiveStatusObjects::Add(status.get());
    return status.release();
  } catch (...) {
    return nullptr;
  }
}

RIMO_EXPORT bool DeleteRimoDataStatusObject(IScDataStatus* status) {
  RIMO_METHOD_TRACE(kDataDll, L"DeleteRimoDataStatusObject");
  try {
    if (status == nullptr || !LiveStatusObjects::BeginRemoval(status)) return false;
  } catch (...) {
    return false;
  }
  auto* own = static_cast<ScDataStatus*>(status);
  // A worker still holding its lock (one whose component was deleted from a
  // host callback) lets go of it when it leaves: wait for that.
  own->AwaitRelease();
  LiveStatusObjects::FinishRemoval(own);
  delete own;
  return true;
}

RIMO_EXPORT IRimoData* CreateRimoDataObject(IScDataStatus* status, uint8_t startWorker) {
  RIMO_METHOD_TRACE(kDataDll, L"CreateRimoDataObject");
  if (status == nullptr || rimo::component::ExitGuard::Exiting()) return nullptr;
  try {
    // Made before the component registers its exit handler, so that the
    // set outlives that handler.
    LiveObjects<IRimoData>& live = LiveComponentObjects();
    auto component = std::make_unique<RimoData>(status, startWorker);
    live.Add(component.get());
    return component.release();
  } catch (...) {
    return nullptr;
  }
}

RIMO_EXPORT bool DeleteRimoDataObject(IRimoData* component) {
  RIMO_METHOD_TRACE(kDataDll, L"DeleteRimoDataObject");
  try {
    if (component == nullptr || !LiveComponentObjects().Remove(component)) return false;
  } catch (...) {
    return false;
  }
  // Waits for the work the object still has to do, unless the delete comes
  // from inside that work (a host callback); see DataCore::Release.
  delete static_cast<RimoData*>(component);
  return true;
}

}  // extern "C"
