// The four exported functions of the component library.
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>

#include "component/PendingReleases.h"
#include "component/RimoData.h"
#include "diag/MethodTrace.h"
#include "status/ScDataStatus.h"

namespace {

using rimo::component::RimoData;
using rimo::diag::category::kDataDll;
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

 private:
  std::mutex mutex_;
  std::unordered_set<T*> objects_;
};

LiveObjects<IScDataStatus>& LiveStatusObjects() {
  static LiveObjects<IScDataStatus> objects;
  return objects;
}

LiveObjects<IRimoData>& LiveComponentObjects() {
  static LiveObjects<IRimoData> objects;
  return objects;
}

}  // namespace

extern "C" {

// No exception ever leaves an export: a failure is the call's failure value.

RIMO_EXPORT IScDataStatus* CreateRimoDataStatusObject() {
  RIMO_METHOD_TRACE(kDataDll, L"CreateRimoDataStatusObject");
  try {
    auto status = std::make_unique<ScDataStatus>();
    LiveStatusObjects().Add(status.get());
    return status.release();
  } catch (...) {
    return nullptr;
  }
}

RIMO_EXPORT bool DeleteRimoDataStatusObject(IScDataStatus* status) {
  RIMO_METHOD_TRACE(kDataDll, L"DeleteRimoDataStatusObject");
  try {
    if (status == nullptr || !LiveStatusObjects().Remove(status)) return false;
  } catch (...) {
    return false;
  }
  // A component deleted from its own worker may still be finishing with it.
  rimo::component::PendingReleases::WaitFor(status);
  delete static_cast<ScDataStatus*>(status);
  return true;
}

RIMO_EXPORT IRimoData* CreateRimoDataObject(IScDataStatus* status, uint8_t startWorker) {
  RIMO_METHOD_TRACE(kDataDll, L"CreateRimoDataObject");
  if (status == nullptr) return nullptr;
  try {
    auto component = std::make_unique<RimoData>(status, startWorker);
    LiveComponentObjects().Add(component.get());
    return component.release();
  } catch (...) {
    return nullptr;
  }
}

RIMO_EXPORT bool DeleteRimoDataObject(IRimoData* component) {
  RIMO_METHOD_TRACE(kDataDll, L"DeleteRimoDataObject");
  try {
    if (component == nullptr || !LiveComponentObjects().Remove(component)) return false;
    auto* object = static_cast<RimoData*>(component);
    // Still running on this thread (a host callback): released once it has left.
    if (object->ReleaseWhenLeft()) return true;
    delete object;
  } catch (...) {
    // The object was taken out of the live set; what failed is its queue's
    // stop request, which the destructor makes again.
    return false;
  }
  return true;
}

}  // extern "C"
