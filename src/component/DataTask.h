// One unit of work in a component object's queue.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rimo::component {

enum TaskType : int32_t {
  Stop = 0,
  GetFromFile = 1,
  GetFromRz = 2,
  QueryResponse = 3,
  UpdateStatusIni = 4,
  // The component's own: an argument that did not fit, reported when the
  // queue reaches it so that reports keep the order of the calls.
  RefusedPath = 101,
  RefusedUserId = 102,
};

inline constexpr size_t kMaxUserIdLength = 20;
inline constexpr size_t kMaxFilePathLength = 259;

}  // namespace rimo::component

namespace rimo::xml {
class IKeloUtilities;
}
namespace rimo::crypto {
class ISignatureFunctions;
}

namespace rimo::component {

// Held in the queue by value. Executors use only the text field their type
// needs, and the component's own service objects.
struct DataTask {
  int32_t type = Stop;
  xml::IKeloUtilities* utilities = nullptr;
  crypto::ISignatureFunctions* signature = nullptr;
  wchar_t userId[kMaxUserIdLength + 1] = {};
  wchar_t filePath[kMaxFilePathLength + 1] = {};
};

}  // namespace rimo::component
