// Process-wide state in a child of fork, where a parent thread may have been
// in the middle of changing it.
#pragma once

#include <cstring>
#include <new>

namespace rimo::platform {

// Makes object anew in place, in the child. The old one is neither used nor
// destroyed (its destructor could meet a half-made change or a thread the
// child does not have); its bytes are kept here, so that what it held stays
// referenced and no leak checker counts it lost.
template <typename T>
void RemakeInChild(T& object) {
  alignas(T) static unsigned char kept[sizeof(T)];
  std::memcpy(kept, static_cast<const void*>(&object), sizeof(T));
  new (&object) T();
}

}  // namespace rimo::platform
