// The user's status INI: whether the last data-center query for the user
// succeeded, whether a package exists, and the data center's error.
#pragma once

#include <string>

#include "config/IniFileBase.h"

namespace rimo::config {

class CStatusIni : public FileOperations::CIniFileBase {
 public:
  static constexpr char kSection[] = "Allgemein";
  static constexpr char kQuerySucceeded[] = "QuerySucceeded";
  static constexpr char kPackageExists[] = "PackageExists";
  static constexpr char kErrorInfoRz[] = "ErrorInfoRZ";

  // The file of userId in the component's data directory (no path when the
  // ID is null or refused: every write is then refused by the base).
  explicit CStatusIni(const wchar_t* userId);

  // True once the file was seen to exist.
  bool FileExists();
  // Null removes "ErrorInfoRZ"; an identifier of exactly 9 characters is
  // written; any other length writes nothing.
  void SetErrorInfoRZ(const wchar_t* text);
  // What a query ended with, every key in one write: on success
  // QuerySucceeded=1, no ErrorInfoRZ, PackageExists; on failure the error
  // identifier (when it has 9 characters), QuerySucceeded=0, PackageExists=0.
  bool RecordQuery(bool succeeded, bool packageExists, const wchar_t* errorId);

 protected:
  // The status folder of a shared data folder is sticky, the caller's own private.
  bool MakeFolder(const std::string& folder) override;
  // Only the user's own file with one name is read or replaced.
  bool OwnFileOnly() const override { return true; }

 private:
  std::wstring userId_;
  bool hasUserId_ = false;
  bool fileExists_ = false;
};

}  // namespace rimo::config
