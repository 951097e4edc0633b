// The package's directory library: where the program, data, configuration,
// log and system directories of a package component are, the versions of
// components and modules, and the library's own internal log.
//
// Each answer comes from the first source that yields an existing directory:
// the configuration database (only when switched on), the registry, then
// fixed fallbacks (shell-folder stand-ins, temp directory, module
// directories). Every directory returned ends with '/'. The library keeps no
// cache; only its start-up switches are read once per instance. Thread-safe.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

#include "config/ConfigDb.h"
#include "platform/Folders.h"
#include "platform/Registry.h"

namespace rimo::config {

enum ResultCode : int32_t {
  kResultOk = 0,
  kResultNullArgument = 1001,
  kResultBufferTooSmall = 1002,
  kResultNotFound = 1003,
  kResultNoVersion = 1004,
};

inline constexpr char kPackageKey[] = "SOFTWARE\\QUANDEL Kelo Compact";
inline constexpr char kThisComponent[] = "P4100002";

// Where the library takes its answers from. Not owned; must outlive the
// library. Empty module directories are determined from the running process.
struct DirectorySources {
  platform::IRegistry* registry = nullptr;
  platform::IFolders* folders = nullptr;
  IConfigDb* configDb = nullptr;
  std::string thisModuleDir;
  std::string executableDir;
};

class DirectoryLibrary {
 public:
  explicit DirectoryLibrary(DirectorySources sources);
  DirectoryLibrary(const DirectoryLibrary&) = delete;
  DirectoryLibrary& operator=(const DirectoryLibrary&) = delete;

  // The library of this process (machine registry, real folders and the INI
  // stand-in of the configuration database). Never deleted.
  static DirectoryLibrary& Instance();
  // For tests: make library the process-wide one (null restores the default).
  static DirectoryLibrary* SetInstanceForTesting(DirectoryLibrary* library);

  // Buffer-filling operations; on any failure the buffer holds "".
  int32_t GetDataDir(const char* component, char* dir, int32_t dirSize, bool create, const char* category,
                     const char* version);
  int32_t GetKonfigDir(const char* component, char* dir, int32_t dirSize);
  int32_t GetLogDir(const wchar_t* component, wchar_t* dir, int32_t dirSize, bool create);
  int32_t GetSystemDir(char* dir, int32_t dirSize, int32_t mode);
  int32_t GetVersion(const char* component, char* version, int32_t versionSize, int32_t type);

  std::string GetProgDir(const std::string& component, bool withDefault);
  std::string GetKonfigDirCurrentUser(const std::string& component, bool create);
  std::string GetThisDllDir();
  // create false: the path only, nothing made.
  std::string GetSpecialFolderPath(int kind, bool create = true);
  std::string GetTempDir(bool create);
  // The private temp directory's "Low/" + the relative directory of kind;
  // empty when there is no safe temp directory.
  // The temp fallback for kind; the private temp folder is made only with create.
  std::string TempFallback(const std::string& component, const char* kind, bool create);
  // True when path is a directory afterwards; parents are created too.
  bool CreateDirectory(const std::string& path);

  // "major.minor.build.revision" of the module file, or "0.0.0.0".
  std::wstring GetOsBuildNr(const wchar_t* path);
  bool GetFileVersionFromFile(const wchar_t* path, uint32_t* major, uint32_t* minor, uint32_t* build,
                              uint32_t* revision);
  // Always 0 on this platform (see OsVersion.h for the code table).
  int32_t GetOsVersion();

  // Switches read at start-up.
  bool ConfigDbActive();
  bool InternalLogOn();

  // Sources, exposed for tests of the resolution rules.
  std::string MakeRelativeDir(const std::string& component, const std::string& kind) const;
  std::string GetHighestVersionKey(const std::string& versionsKey);
  std::string GetDataDirFromRegistry(const std::string& component, const std::string& category);
  std::string GetKonfigDirFromRegistry(const std::string& component);
  std::string GetLogDirFromRegistry(const std::string& component);
  std::string GetProgDirFromRegistry(const std::string& component);
  std::string GetSystemDirFromRegistry();
  std::string GetModuleDir(bool hostExecutable);
  std::string GetTempDirLow(bool create);
  bool IsQuandelEnvironment(const std::string& component);

 private:
  // The log texts of one buffer-filling operation (printf formats).
  struct DirectoryTexts {
    const char* notExisting;    // %s: the path
    const char* notDetermined;
    const char* tooSmall;       // %d: the buffer size, %d: the path length
  };
  // Copies path into dir when it exists and fits; logs and reports otherwise.
  int32_t DeliverDirectory(const std::string& path, char* dir, int32_t dirSize, const DirectoryTexts& texts);

  void Init();
  void ReadSwitches();
  void Log(bool isError, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void VLog(bool isError, const char* format, va_list args);
  void Listing(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void AppendLine(const std::string& file, const std::string& text);
  // Where a log named fileName goes when the registry names folder registered.
  std::string OwnLogFile(const std::string& registered, const std::string& fileName);

  std::string ReadRegistryString(const std::string& key, const char* name);
  std::string ValueFromConfigDb(const std::string& component, int kind);
  std::string ActiveDataDirFromConfigDb(const std::string& component, const std::string& category);

  std::string ResolveDataDir(const std::string& component, bool create, const std::string& category);
  std::string GuessLocalDataDir(const std::string& component, const std::string& category, bool create);
  std::string ResolveKonfigDir(const std::string& component);
  std::string GuessLocalKonfigDir(const std::string& component);
  std::string ResolveLogDir(const std::string& component, bool create);
  std::string GuessLocalLogDir(const std::string& component, bool create);
  std::string ResolveSystemDir(int32_t mode);
  std::string GuessLocalUserKonfigDir(const std::string& component, bool create);
  void MoveToProgramDrive(std::string& path, const std::string& component);
  std::string ComponentVersion(const std::string& component, int32_t type);
  void WriteOneTimeListing();

  DirectorySources sources_;
  std::once_flag started_;
  bool internalLogOn_ = false;
  std::string internalLogFile_;
  bool configDbActive_ = false;
  bool perQueryListingOn_ = false;
  std::string perQueryListingFile_;
  std::string oneTimeListingFile_;
  std::atomic<bool> oneTimeListingPending_{false};
  bool alternativeLogDirOn_ = false;
  std::string alternativeLogDir_;
};

// The exported operations of the directory library, on Instance().
int32_t CDB_GetDataDir(const char* component, char* dir, int32_t dirSize, bool create, const char* category,
                       const char* version);
int32_t CDB_GetKonfigDir(const char* component, char* dir, int32_t dirSize);
int32_t CDB_GetLogDir(const wchar_t* component, wchar_t* dir, int32_t dirSize, bool create);
int32_t CDB_GetSystemDir(char* dir, int32_t dirSize, int32_t mode);
int32_t CDB_GetVersion(const char* component, char* version, int32_t versionSize, int32_t type);
std::string CDB_GetProgDir(const std::string& component, bool withDefault);
std::string CDB_GetThisDllDir();
bool CDB_CreateDirectory(const std::string& path);
std::wstring CDB_GetOsBuildNr(const wchar_t* path);
int32_t CDB_GetOsVersion();

// This component's log directory (ending with '/') as CDB_GetLogDir finds it
// without making it; empty when it finds none or the path is not UTF-8. The
// crash translator's dump folder.
std::string ComponentLogDirectory();

}  // namespace rimo::config
