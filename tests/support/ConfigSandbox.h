// A private machine for a test: KELO_ROOT, HOME, the XDG folders and TMPDIR
// point into a temporary tree, and a fresh directory library reads it.
#pragma once

#include <memory>
#include <string>

#include "config/ConfigDb.h"
#include "config/DirectoryLibrary.h"
#include "platform/Folders.h"
#include "platform/Registry.h"
#include "support/TempDir.h"

namespace rimo::testing {

class ConfigSandbox {
 public:
  // registry: the content of registry.reg ("" for no file).
  explicit ConfigSandbox(const std::string& registry = "", platform::IFolders* folders = nullptr);
  ~ConfigSandbox();

  const std::string& root() const { return dir_.path(); }
  std::string Path(const std::string& relative) const { return dir_.path() + "/" + relative; }
  // Writes registry.reg with a header and the given lines.
  void WriteRegistry(const std::string& lines);
  config::DirectoryLibrary& library() { return *library_; }
  // The module directory the library reports for itself.
  std::string moduleDir() const { return Path("module/"); }

 private:
  TempDir dir_;
  platform::RegistryFile registry_;
  platform::SystemFolders systemFolders_;
  config::IniConfigDb configDb_;
  std::unique_ptr<config::DirectoryLibrary> library_;
  config::DirectoryLibrary* previous_;
  std::string savedEnv_[6];
  bool hadEnv_[6];
};

// The .reg text for one key with lines of values.
std::string RegKey(const std::string& key, const std::string& values);

}  // namespace rimo::testing
