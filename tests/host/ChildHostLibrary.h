// The component library as a child-process host (crash, exit and stress
// hosts) loads it: dlopen from the build, the four exports by name. No test
// framework here: these hosts are plain programs.
#pragma once

#include <dlfcn.h>

#include "rimo/RimoData.h"

namespace rimo::host {

struct ChildHostLibrary {
  void* handle = dlopen(RIMO_LIB_DIR "/librimodata.so", RTLD_NOW | RTLD_LOCAL);
  IScDataStatus* (*createStatus)() = reinterpret_cast<IScDataStatus* (*)()>(dlsym(handle, "CreateRimoDataStatusObject"));
  bool (*deleteStatus)(IScDataStatus*) =
      reinterpret_cast<bool (*)(IScDataStatus*)>(dlsym(handle, "DeleteRimoDataStatusObject"));
  IRimoData* (*create)(IScDataStatus*, uint8_t) =
      reinterpret_cast<IRimoData* (*)(IScDataStatus*, uint8_t)>(dlsym(handle, "CreateRimoDataObject"));
  bool (*destroy)(IRimoData*) = reinterpret_cast<bool (*)(IRimoData*)>(dlsym(handle, "DeleteRimoDataObject"));
};

}  // namespace rimo::host
