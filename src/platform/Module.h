// Module and executable locations, and run-time linking by full path.
#pragma once

#include <string>

namespace rimo::platform {

// Directory of the running executable (from /proc/self/exe), ending in '/';
// empty when it cannot be read.
std::string ExecutableDirectory();

// Directory of the shared object (or executable) that contains address,
// ending in '/'; empty when it cannot be determined.
std::string ModuleDirectoryOf(const void* address);

// Directory of the module that holds this code.
std::string ThisModuleDirectory();

bool FileExists(const std::string& path);

// Owns a handle from dlopen. Loads only by full path (a name without '/' is
// refused so that no search path is ever consulted); unloads with the object
// unless asked to keep the library loaded.
class LoadedLibrary {
 public:
  LoadedLibrary() = default;
  ~LoadedLibrary();
  LoadedLibrary(LoadedLibrary&& other) noexcept;
  LoadedLibrary& operator=(LoadedLibrary&& other) noexcept;
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  // Loads path; false (and no handle) when it is not an absolute path or
  // cannot be loaded. With keepLoaded, the library stays loaded for the rest
  // of the process once it was loaded, whatever closes it: its static state
  // is made once, at its first load, and ends only when the process does.
  bool Open(const std::string& path, bool keepLoaded = false);
  // Address of symbol, or null.
  void* Symbol(const char* name) const;
  bool IsOpen() const { return handle_ != nullptr; }
  // Unloads the library now (dlclose).
  void Close();
  // Forgets the handle without unloading.
  void Leak() { handle_ = nullptr; }

 private:
  void* handle_ = nullptr;
};

}  // namespace rimo::platform
