// Tells the trace plug-in search where the component's program directory is.
// Built as an object of its own that every image linking rimocore takes in
// whole (an archive member nobody references would be dropped), so the
// lookup is registered during static initialization: before main, or before
// a host's first call into the component library.
#include "config/DirectoryLibrary.h"
#include "diag/ComponentDirectory.h"

namespace rimo::config {
namespace {

std::string ProgramDirectory() { return CDB_GetProgDir(kThisComponent, false); }

const struct Registration {
  Registration() { diag::SetComponentDirectoryLookup(&ProgramDirectory); }
} registration;

}  // namespace
}  // namespace rimo::config
