#include "diag/ComponentDirectory.h"

#include "config/DirectoryLibrary.h"

namespace rimo::diag {

std::string ComponentProgramDirectory() {
  return config::CDB_GetProgDir(config::kThisComponent, false);
}

}  // namespace rimo::diag
