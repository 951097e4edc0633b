// The machine registry (HKEY_LOCAL_MACHINE), read from a text file in .reg
// syntax. Key paths and value names compare without regard to ASCII case.
#pragma once

#include "platform/SafeFiles.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rimo::platform {

// Read-only registry view. Key paths use '\' and are relative to
// HKEY_LOCAL_MACHINE (a leading "HKEY_LOCAL_MACHINE\" is accepted too). The
// empty value name is the key's default value ("@" in the file). Thread-safe.
class IRegistry {
 public:
  virtual ~IRegistry() = default;
  virtual bool KeyExists(std::string_view key) = 0;
  // A string value; nullopt when the key or value is missing or not a string.
  virtual std::optional<std::string> ReadString(std::string_view key, std::string_view name) = 0;
  // A DWORD value; nullopt when missing or not a DWORD.
  virtual std::optional<uint32_t> ReadDword(std::string_view key, std::string_view name) = 0;
  // Names of the direct subkeys, as written in the file.
  virtual std::vector<std::string> SubKeys(std::string_view key) = 0;
};

// The parsed content of a .reg file.
class RegistryData {
 public:
  // Parses UTF-8 (with or without BOM) or UTF-16 (either order, with or
  // without BOM), as exported files have it: key and value deletions
  // ("[-KEY]", "name"=-), strings, dword:, hex: and hex(n): values over
  // several lines, comments after a key header. Malformed lines are skipped
  // and named in Problems(); never fails.
  static RegistryData Parse(std::string_view text);

  bool KeyExists(std::string_view key) const;
  std::optional<std::string> ReadString(std::string_view key, std::string_view name) const;
  std::optional<uint32_t> ReadDword(std::string_view key, std::string_view name) const;
  std::vector<std::string> SubKeys(std::string_view key) const;
  size_t KeyCount() const { return keys_.size(); }
  // What could not be read, "line N: why", at most kMaxProblems.
  const std::vector<std::string>& Problems() const { return problems_; }
  static constexpr size_t kMaxProblems = 10;

 private:
  enum class ValueKind { String, Dword, Qword, MultiString, Binary };
  struct Value {
    ValueKind kind = ValueKind::String;
    std::string text;  // String; MultiString and Binary as their bytes
    uint32_t dword = 0;
    uint64_t qword = 0;
  };
  struct Key {
    std::string name;                     // full path as written
    std::map<std::string, Value> values;  // by lower-cased name
  };
  const Value* Find(std::string_view key, std::string_view name) const;
  static void SetHexValue(Key& key, const std::string& name, const std::string& type, std::string_view hex);

  std::map<std::string, Key> keys_;  // by normalised (lower-cased) path
  std::vector<std::string> problems_;
  friend class RegistryFile;
};

// Folds case (every character, as upper-casing makes names equal), drops a leading "HKEY_LOCAL_MACHINE\" or
// "HKLM\" and any trailing '\'.
std::string NormaliseKeyPath(std::string_view key);

// The registry file of this machine: $KELO_ROOT/etc/kelo/registry.reg. The
// file is read again whenever it changed (size, time or inode); a missing or
// unreadable file is an empty registry.
class RegistryFile final : public IRegistry {
 public:
  // path empty: the machine's registry file, located anew on each access.
  explicit RegistryFile(std::string path = {});

  static std::string MachinePath();

  bool KeyExists(std::string_view key) override;
  std::optional<std::string> ReadString(std::string_view key, std::string_view name) override;
  std::optional<uint32_t> ReadDword(std::string_view key, std::string_view name) override;
  std::vector<std::string> SubKeys(std::string_view key) override;
  // What of the file could not be read (unreadable, lines not understood);
  // empty for a file read whole or one that does not exist.
  std::vector<std::string> Problems();
  std::string Path() const;

 private:
  std::shared_ptr<const RegistryData> Current();

  std::string fixedPath_;
  std::mutex mutex_;
  // The fork generation in which mutex_ was made: a child of fork makes it
  // anew on first use, as a parent thread may have held it.
  unsigned forkGeneration_ = 0;
  std::string loadedPath_;
  FileStamp stamp_;
  std::shared_ptr<const RegistryData> data_;
};

}  // namespace rimo::platform
