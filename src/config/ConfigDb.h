// The maker's configuration database, asked only when switched on. On this
// platform it is the INI file $KELO_ROOT/etc/kelo/configdb.ini:
//
//   [P4100002]                 one section per component
//   KonfigDir=/path            value kind 1     LogDir=...       kind 2
//   ProgDir=...                kind 3           UserKonfigDir=... kind 10
//   Version0=... to Version5=  kinds 4 to 9 (the version types 0 to 5)
//   DataDir.RIMO=/path         the active data directory of a data category
//   [Workstation]
//   SystemPath=/path           the package's system directory
//
// Any failure (file missing, unreadable, key absent) is an empty answer.
#pragma once

#include <string>

namespace rimo::config {

class IConfigDb {
 public:
  virtual ~IConfigDb() = default;
  // Empty for an unknown kind (known kinds: 1 to 10).
  virtual std::string Value(const std::string& component, int kind) = 0;
  virtual std::string ActiveDataDir(const std::string& component, const std::string& category) = 0;
  virtual std::string SystemPath() = 0;
};

class IniConfigDb final : public IConfigDb {
 public:
  // path empty: $KELO_ROOT/etc/kelo/configdb.ini, located anew on each query.
  explicit IniConfigDb(std::string path = {});

  // The key name of a value kind, or null for an unknown kind.
  static const char* KeyOfKind(int kind);

  std::string Value(const std::string& component, int kind) override;
  std::string ActiveDataDir(const std::string& component, const std::string& category) override;
  std::string SystemPath() override;

 private:
  std::string Read(const std::string& section, const std::string& key);
  std::string path_;
};

}  // namespace rimo::config
