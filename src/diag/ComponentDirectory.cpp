#include "diag/ComponentDirectory.h"

namespace rimo::diag {

std::string ComponentProgramDirectory() { return {}; }

}  // namespace rimo::diag
