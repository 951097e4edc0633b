#include "platform/Module.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace rimo::platform {
namespace {

std::string DirectoryPart(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash + 1);
}

}  // namespace

std::string ExecutableDirectory() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return DirectoryPart(std::string(buf, static_cast<size_t>(n)));
}

std::string ModuleDirectoryOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  std::string name = info.dli_fname;
  if (name.empty() || name[0] != '/') {
    // The main program reports its name as given on the command line.
    char resolved[PATH_MAX];
    if (realpath(name.c_str(), resolved) == nullptr) return ExecutableDirectory();
    name = resolved;
  }
  return DirectoryPart(name);
}

std::string ThisModuleDirectory() {
  return ModuleDirectoryOf(reinterpret_cast<const void*>(&ThisModuleDirectory));
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

LoadedLibrary::~LoadedLibrary() { Close(); }

LoadedLibrary::LoadedLibrary(LoadedLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

LoadedLibrary& LoadedLibrary::operator=(LoadedLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

bool LoadedLibrary::Open(const std::string& path, bool keepLoaded) {
  Close();
  if (path.empty() || path[0] != '/') return false;
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | (keepLoaded ? RTLD_NODELETE : 0));
  return handle_ != nullptr;
}

void* LoadedLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return dlsym(handle_, name);
}

void LoadedLibrary::Close() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace rimo::platform
