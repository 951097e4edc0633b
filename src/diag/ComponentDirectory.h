#pragma once

#include <string>

namespace rimo::diag {

// Gives the program directory of this component as the package's directory
// library resolves it, without its built-in default; empty when not
// configured.
using ComponentDirectoryLookup = std::string (*)();

// The directory library belongs to a later layer, which registers its lookup
// here during static initialization (config/TraceDirectory.cpp). Null
// removes it. Thread-safe.
void SetComponentDirectoryLookup(ComponentDirectoryLookup lookup);

// The registered lookup's answer; empty when none is registered.
std::string ComponentProgramDirectory();

}  // namespace rimo::diag
