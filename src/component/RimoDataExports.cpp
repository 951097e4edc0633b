// The four exported functions of the component library.
#include <mutex>
#include <new>
#include <unordered_set>

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

RIMO_EXPORT IScDataStatus* CreateRimoDataStatusObject() {
  RIMO_METHOD_TRACE(kDataDll, L"CreateRimoDataStatusObject");
  try {
    auto* status = new ScDataStatus;
    LiveStatusObjects().Add(status);
    return status;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

RIMO_EXPORT bool DeleteRimoDataStatusObject(IScDataStatus* status) {
  RIMO_METHOD_TRACE(kDataDll, L"DeleteRimoDataStatusObject");
  if (status == nullptr || !LiveStatusObjects().Remove(status)) return false;
  delete static_cast<ScDataStatus*>(status);
  return true;
}

RIMO_EXPORT IRimoData* CreateRimoDataObject(IScDataStatus* status, uint8_t startWorker) {
  RIMO_METHOD_TRACE(kDataDll, L"CreateRimoDataObject");
  if (status == nullptr) return nullptr;
  try {
    auto* component = new RimoData(status, startWorker);
    LiveComponentObjects().Add(component);
    return component;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

RIMO_EXPORT bool DeleteRimoDataObject(IRimoData* component) {
  RIMO_METHOD_TRACE(kDataDll, L"DeleteRimoDataObject");
  if (component == nullptr || !LiveComponentObjects().Remove(component)) return false;
  delete static_cast<RimoData*>(component);
  return true;
}

}  // extern "C"
