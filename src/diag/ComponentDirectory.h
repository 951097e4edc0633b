#pragma once

#include <string>

namespace rimo::diag {

// The program directory of this component as the package's directory library
// resolves it, without its built-in default; empty when not configured.
std::string ComponentProgramDirectory();

}  // namespace rimo::diag
