#include "support/ConfigSandbox.h"

#include <cstdlib>
#include <filesystem>

namespace rimo::testing {
namespace {

constexpr const char* kVariables[6] = {"KELO_ROOT",       "HOME",           "XDG_STATE_HOME",
                                       "XDG_DATA_HOME",   "XDG_CONFIG_HOME", "TMPDIR"};

}  // namespace

ConfigSandbox::ConfigSandbox(const std::string& registry, platform::IFolders* folders) {
  for (int i = 0; i < 6; ++i) {
    const char* v = std::getenv(kVariables[i]);
    hadEnv_[i] = v != nullptr;
    if (v != nullptr) savedEnv_[i] = v;
  }
  setenv("KELO_ROOT", dir_.path().c_str(), 1);
  setenv("HOME", Path("home").c_str(), 1);
  unsetenv("XDG_STATE_HOME");
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_CONFIG_HOME");
  setenv("TMPDIR", Path("tmp").c_str(), 1);
  std::filesystem::create_directories(Path("home"));
  std::filesystem::create_directories(Path("tmp"));
  std::filesystem::create_directories(moduleDir());
  std::filesystem::create_directories(Path("exe"));
  if (!registry.empty()) WriteRegistry(registry);
  library_ = std::make_unique<config::DirectoryLibrary>(config::DirectorySources{
      &registry_, folders != nullptr ? folders : &systemFolders_, &configDb_, moduleDir(), Path("exe/")});
  previous_ = config::DirectoryLibrary::SetInstanceForTesting(library_.get());
}

ConfigSandbox::~ConfigSandbox() {
  config::DirectoryLibrary::SetInstanceForTesting(previous_);
  for (int i = 0; i < 6; ++i) {
    if (hadEnv_[i]) {
      setenv(kVariables[i], savedEnv_[i].c_str(), 1);
    } else {
      unsetenv(kVariables[i]);
    }
  }
}

void ConfigSandbox::WriteRegistry(const std::string& lines) {
  WriteFile(Path("etc/kelo/registry.reg"), "Windows Registry Editor Version 5.00\n\n" + lines);
}

std::string RegKey(const std::string& key, const std::string& values) {
  return "[HKEY_LOCAL_MACHINE\\" + key + "]\n" + values + "\n";
}

}  // namespace rimo::testing
