#include "config/OsVersion.h"

namespace rimo::config {

int OsCodeOf(const OsVersionInfo& v) {
  const uint32_t sp = v.servicePackMajor;
  switch (v.major) {
    case 5:
      if (v.minor == 1) return sp == 1 ? 2 : sp == 2 ? 3 : sp == 3 ? 4 : 1;
      if (v.minor == 2) return v.serverR2 ? 6 : 5;
      return 0;
    case 6:
      switch (v.minor) {
        case 0:
          if (!v.workstation) return 10;
          return sp == 1 ? 8 : sp == 2 ? 9 : 7;
        case 1:
          if (!v.workstation) return 13;
          return sp == 1 ? 12 : 11;
        case 2:
          return v.workstation ? 14 : 15;
        case 3:
          return v.workstation ? 16 : 17;
        default:
          return 0;
      }
    case 10:
      if (v.minor == 0) return v.workstation ? 18 : 19;
      return 0;
    default:
      if (v.major > 10) return v.workstation ? 100 : 101;
      return 0;
  }
}

const char* OsCodeName(int code) {
  switch (code) {
    case 1: return "Windows XP";
    case 2: return "Windows XP SP1";
    case 3: return "Windows XP SP2";
    case 4: return "Windows XP SP3";
    case 5: return "Windows 2003 Server";
    case 6: return "Windows 2003 Server R2";
    case 7: return "Windows VISTA";
    case 8: return "Windows VISTA SP1";
    case 9: return "Windows VISTA SP2";
    case 10: return "Windows 2008 Server";
    case 11: return "Windows 7";
    case 12: return "Windows 7 SP1";
    case 13: return "Windows 2008 Server R2";
    case 14: return "Windows 8";
    case 15: return "Windows 2012 Server";
    case 16: return "Windows 8.1";
    case 17: return "Windows 2012 Server R2";
    case 18: return "Windows 10";
    case 19: return "Windows 2016 Server";
    case 100: return "Windows Major > 10 und Minor x (nach Win10)";
    case 101: return "Server Windows Major > 10 und Minor x (nach Server2016)";
    default: return "Windows Version UNKNOWN";
  }
}

}  // namespace rimo::config
