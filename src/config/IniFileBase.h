// Reads and writes single values of one INI file, with defaults, the
// "INI_FEHLER" sentinel and tracing under the owner's category.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace FileOperations {

// Not thread-safe per object; writes to one file from several objects or
// processes are serialised (a write is a locked read-modify-replace).
class CIniFileBase {
 public:
  static constexpr int kMaxPath = 260;
  static constexpr int kMaxCategory = 256;

  CIniFileBase() = default;
  virtual ~CIniFileBase() = default;
  CIniFileBase(const CIniFileBase&) = default;
  CIniFileBase& operator=(const CIniFileBase&) = default;

  // Takes a full path of at most 259 characters; a longer or relative path
  // is refused (false) and the stored path is cleared.
  bool SetFilePath(const char* path);
  const char* FilePath() const { return filePath_; }

  // A null or empty category is refused; a longer one is cut to 255.
  bool SetTraceCategory(const wchar_t* category);
  const wchar_t* TraceCategory() const { return category_; }

  // True when the value was read from the file. Otherwise out holds the
  // default (cut to outSize) — except when the file does not exist, where out
  // is left as it was. A value longer than 259 characters is read as its
  // first 259, as the profile read gives it. Empty values, "INI_FEHLER" and
  // values that do not fit out with their terminator count as not read.
  bool GetIniValueString(const char* section, const char* key, char* out, int32_t outSize,
                         const char* defaultValue);
  // Leading digits (atoi); a stored "-1" or a value not read gives the default.
  int32_t GetIniValueInt(const char* section, const char* key, int32_t defaultValue);
  // Only the single digit 1 is true; a value not read gives the default.
  bool GetIniValueBool(const char* section, const char* key, bool defaultValue);
  // Writes value (creating directories, file and section); a null value
  // deletes the key. An empty value, or line breaks in any name or value, are
  // refused. The file is replaced atomically: never half-written.
  bool SetIniValueString(const char* section, const char* key, const char* value);
  // Several keys of one section (a null value deletes its key) in one
  // atomic replace under one lock: the file afterwards holds all of them or,
  // when the write fails, none. Each key is traced as its own write would
  // be, inside the method trace of via (the operation it stands for) and of
  // SetIniValueString when via is given.
  struct KeyValue {
    std::string key;
    const char* value;
    const wchar_t* via = nullptr;
  };
  bool SetIniValues(const char* section, const std::vector<KeyValue>& values);
  bool SetIniValueBool(const char* section, const char* key, bool value);

 protected:
  // Makes the folder of the file for a write; the package's data folders by
  // default.
  virtual bool MakeFolder(const std::string& folder);
  // True for a file that must be the caller's own with one name to be read
  // or replaced (a user's record); false for settings others may own.
  virtual bool OwnFileOnly() const { return false; }

 private:
  std::optional<std::string> ReadFile() const;

  char filePath_[kMaxPath] = {};
  wchar_t category_[kMaxCategory] = {};
};

}  // namespace FileOperations
