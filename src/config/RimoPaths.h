// The full paths of the component's files: the user's response file and
// status INI, and the two card plug-ins.
#pragma once

#include <cstddef>
#include <string>

namespace rimo::config {

inline constexpr char kComponentId[] = "P4100002";
inline constexpr char kDataCategory[] = "RIMO";
inline constexpr char kDataVersion[] = "1.0";
inline constexpr char kCardBaseLibrary[] = "QNCardBase002.so";
inline constexpr char kAsn1Library[] = "QNCardAsn1N003.so";

// Stateless; thread-safe.
class CRimoPaths {
 public:
  CRimoPaths() = default;

  // False for a user ID that could name another file or directory: null,
  // empty, ".", "..", or holding '/'.
  static bool UsableUserId(const wchar_t* userId);
  virtual ~CRimoPaths() = default;

  // <data dir>Response/<userId>.xml into out (260 wide characters). The
  // data dir is the machine-wide one when the caller's files are safe in
  // its "Response" folder (the caller's own folder, or a sticky one that
  // the caller may write to) and no other user's file or link is in the
  // file's place; otherwise the caller's own data folder
  // ${XDG_DATA_HOME:-~/.local/share}/Quandel/Daten/P4100002/RIMO/. False,
  // out untouched, when no folder can be had, the user ID could name
  // another directory (empty, ".", "..", or holding '/'), or the path is
  // not UTF-8 or has 260 bytes or more (the same rule as the status INI,
  // so that a user has both files or neither; traced).
  // sharedContested: another user's file took the shared place after it was
  // chosen; only the caller's own data folder is used then.
  bool GetResponseFilePath(const wchar_t* userId, wchar_t* out, bool sharedContested = false) const;
  // <data dir>Status/<userId>.ini into out (260 bytes), with the same rules.
  bool GetStatusIniPath(const wchar_t* userId, char* out, bool sharedContested = false) const;
  // Makes the folder of a path given by the two above: a shared kind's
  // folder sticky and open to all (01777), the caller's own ones 0700.
  static bool MakeFolderOf(const std::string& filePath);
  // <system dir>QNCardBase002.so. When the system directory cannot be had the
  // bare file name is given, which a loader by full path refuses.
  bool GetCardBaseLibraryPath(char* out, size_t outSize) const;
  bool GetAsn1LibraryPath(char* out, size_t outSize) const;

 private:
  bool LibraryPath(const char* fileName, char* out, size_t outSize) const;
};

}  // namespace rimo::config
