// Codes and names of operating-system versions, as the package knows them.
#pragma once

#include <cstdint>

namespace rimo::config {

struct OsVersionInfo {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t servicePackMajor = 0;
  bool workstation = true;      // product type 1
  bool serverR2 = false;        // the second server release flag
};

// The code for a version record; 0 when unknown.
int OsCodeOf(const OsVersionInfo& info);

// The readable name of a code; "Windows Version UNKNOWN" for any code
// outside 1 to 19, 100 and 101.
const char* OsCodeName(int code);

}  // namespace rimo::config
