// The component library as a host sees it: loaded with dlopen, reached only
// through the four exports of the public header.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "rimo/RimoData.h"

namespace rimo::host {

class HostLibrary {
 public:
  explicit HostLibrary(const std::string& path = RIMO_LIB_DIR "/librimodata.so") {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      ADD_FAILURE() << dlerror();
      return;
    }
    createStatus = reinterpret_cast<decltype(createStatus)>(dlsym(handle_, "CreateRimoDataStatusObject"));
    deleteStatus = reinterpret_cast<decltype(deleteStatus)>(dlsym(handle_, "DeleteRimoDataStatusObject"));
    create = reinterpret_cast<decltype(create)>(dlsym(handle_, "CreateRimoDataObject"));
    destroy = reinterpret_cast<decltype(destroy)>(dlsym(handle_, "DeleteRimoDataObject"));
  }
  ~HostLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;

  bool ok() const {
    return handle_ != nullptr && createStatus && deleteStatus && create && destroy;
  }
  void* handle() const { return handle_; }

  IScDataStatus* (*createStatus)() = nullptr;
  bool (*deleteStatus)(IScDataStatus*) = nullptr;
  IRimoData* (*create)(IScDataStatus*, uint8_t) = nullptr;
  bool (*destroy)(IRimoData*) = nullptr;

 private:
  void* handle_ = nullptr;
};

}  // namespace rimo::host
