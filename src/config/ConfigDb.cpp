#include "config/ConfigDb.h"

#include "platform/Folders.h"
#include "platform/FileIo.h"
#include "platform/IniDocument.h"

namespace rimo::config {

IniConfigDb::IniConfigDb(std::string path) : path_(std::move(path)) {}

const char* IniConfigDb::KeyOfKind(int kind) {
  switch (kind) {
    case 1: return "KonfigDir";
    case 2: return "LogDir";
    case 3: return "ProgDir";
    case 4: return "Version0";
    case 5: return "Version1";
    case 6: return "Version2";
    case 7: return "Version3";
    case 8: return "Version4";
    case 9: return "Version5";
    case 10: return "UserKonfigDir";
    default: return nullptr;
  }
}

std::string IniConfigDb::Read(const std::string& section, const std::string& key) {
  const std::string path = path_.empty() ? platform::KeloRoot() + "/etc/kelo/configdb.ini" : path_;
  auto text = platform::ReadWholeFile(path, 1024 * 1024);
  if (!text) return {};
  return platform::IniDocument::Parse(*text).Get(section, key).value_or(std::string());
}

std::string IniConfigDb::Value(const std::string& component, int kind) {
  const char* key = KeyOfKind(kind);
  return key != nullptr ? Read(component, key) : std::string();
}

std::string IniConfigDb::ActiveDataDir(const std::string& component, const std::string& category) {
  return Read(component, "DataDir." + category);
}

std::string IniConfigDb::SystemPath() { return Read("Workstation", "SystemPath"); }

}  // namespace rimo::config
