#include "config/DirectoryLibrary.h"

#include <strings.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <vector>

#include "platform/ElfVersion.h"
#include "platform/RotatingLog.h"
#include "platform/SafeFiles.h"
#include "platform/Module.h"
#include "platform/Utf8.h"

namespace rimo::config {
namespace {

constexpr const char* kPackageComponents[] = {"P4100001", "P4100002", "P4100003",
                                              "P4100004", "P4100005", "P4100006"};
constexpr char kListedComponent[] = "P4100003";
constexpr size_t kMaxPath = 259;
constexpr int kLockWaitMs = 1000;

std::atomic<DirectoryLibrary*> g_override{nullptr};

bool Exists(const std::string& path) { return !path.empty() && access(path.c_str(), F_OK) == 0; }

std::string Format(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = Format(format, args);
  va_end(args);
  return out;
}

const char* OrNull(const void* p, const char* text) { return p == nullptr ? "NULL" : text; }

bool IsPackageComponent(const std::string& component) {
  for (const char* c : kPackageComponents) {
    if (component == c) return true;
  }
  return false;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Copies path into dir after the size checks of the buffer-filling operations.
int32_t Deliver(const std::string& path, char* dir, int32_t dirSize) {
  if (dirSize <= 0 || static_cast<size_t>(dirSize) <= path.size()) return kResultBufferTooSmall;
  std::memcpy(dir, path.c_str(), path.size() + 1);
  return kResultOk;
}

}  // namespace

DirectoryLibrary::DirectoryLibrary(DirectorySources sources) : sources_(std::move(sources)) {}

DirectoryLibrary& DirectoryLibrary::Instance() {
  if (DirectoryLibrary* o = g_override.load(std::memory_order_acquire)) return *o;
  static platform::RegistryFile registry;
  static platform::SystemFolders folders;
  static IniConfigDb configDb;
  static DirectoryLibrary library(DirectorySources{&registry, &folders, &configDb, {}, {}});
  return library;
}

DirectoryLibrary* DirectoryLibrary::SetInstanceForTesting(DirectoryLibrary* library) {
  return g_override.exchange(library, std::memory_order_acq_rel);
}

// ---------------------------------------------------------------- start-up

void DirectoryLibrary::Init() {
  std::call_once(started_, [this] { ReadSwitches(); });
  // The listing resolves directories, which runs Init again: it is written
  // outside the once-block, by the first caller only.
  if (oneTimeListingPending_.exchange(false)) WriteOneTimeListing();
}

void DirectoryLibrary::ReadSwitches() {
  {
    if (sources_.thisModuleDir.empty()) sources_.thisModuleDir = platform::ThisModuleDirectory();
    if (sources_.executableDir.empty()) sources_.executableDir = platform::ExecutableDirectory();
    platform::IRegistry& reg = *sources_.registry;
    if (!reg.KeyExists(kPackageKey)) {
      Log(true, "Init: Fehler <%d> beim Öffnen des Registry-Pfades <%s>!", 2, kPackageKey);
    } else {
      auto read = [&](const char* name) -> std::optional<std::string> {
        auto v = reg.ReadString(kPackageKey, name);
        if (v && v->size() > kMaxPath) return std::nullopt;
        return v;
      };
      auto isEin = [](const std::optional<std::string>& v) { return v && strcasecmp(v->c_str(), "ein") == 0; };

      auto trace = read("LogVia_InternTrace");
      if (!trace) {
        Log(false, "Init: Fehler <%d> beim Lesen des Eintrags \"LogVia_InternTrace\"!", 2);
      } else if (isEin(trace)) {
        auto dir = read("LogVia_InternTraceDirectory");
        if (!dir) {
          Log(true, "Init: Fehler <%d> beim Lesen des Eintrags \"LogVia_InternTraceDirectory\"!", 2);
        } else if (!Exists(*dir)) {
          Log(true, "Init: Verzeichnis <%s> existiert nicht, um internes Log auszugeben!", dir->c_str());
        } else {
          internalLogFile_ = OwnLogFile(*dir, "ConfigDB_Intern.log");
          internalLogOn_ = true;
        }
      }

      auto active = read("ConfigDBActive");
      if (!active) {
        Log(false, "Init: Fehler <%d> beim Lesen des Eintrags \"ConfigDBActive\"!", 2);
      } else {
        configDbActive_ = strcasecmp(active->c_str(), "aus") != 0;
      }

      auto dirsActive = read("ConfigDBTracingDirsActive");
      if (!dirsActive) {
        Log(false, "Init: Fehler <%d> beim Lesen des Eintrags \"ConfigDBTracingDirsActive\"!", 2);
      } else if (isEin(dirsActive)) {
        auto dir = read("ConfigDBTracingDirsDirectory");
        if (!dir) {
          Log(true, "Init: Fehler <%d> beim Lesen des Eintrags \"ConfigDBTracingDirsDirectory\"!", 2);
        } else if (!Exists(*dir)) {
          Log(true, "Init: Verzeichnis <%s> existiert nicht, um alle Pfade für die %s auszugeben!", dir->c_str(),
              kListedComponent);
        } else {
          oneTimeListingFile_ = OwnLogFile(*dir, std::string(kListedComponent) + "_TracingDirs.log");
          oneTimeListingPending_ = true;
        }
      }

      auto libDirs = read("ConfigDBLibDirsActive");
      if (!libDirs) {
        Log(false, "Init: Fehler <%d> beim Lesen des Eintrags \"ConfigDBLibDirsActive\"!", 2);
      } else if (isEin(libDirs)) {
        auto dir = read("ConfigDBLibDirsDirectory");
        if (!dir) {
          Log(true, "Init: Fehler <%d> beim Lesen des Eintrags \"ConfigDBLibDirsDirectory\"!", 2);
        } else if (!Exists(*dir)) {
          Log(true, "Init: Verzeichnis <%s> existiert nicht, um Pfade für Komponenten auszugeben!", dir->c_str());
        } else {
          perQueryListingFile_ = OwnLogFile(*dir, "ConfigDB_Lib_Dirs.log");
          perQueryListingOn_ = true;
        }
      }

      auto altLog = read("ConfigDBLogDirP4100002");
      if (!altLog) {
        Log(false, "Init: Fehler <%d> beim Lesen des Eintrags \"ConfigDBLogDirP4100002\"!", 2);
      } else if (Exists(*altLog)) {
        alternativeLogDir_ = platform::WithTrailingSlash(*altLog);
        alternativeLogDirOn_ = true;
      } else {
        Log(true,
            "Init: Verzeichnis <%s> existiert nicht, um als alternativer Log-Pfad für die Komponente %s "
            "zurückgegeben zu werden!",
            altLog->c_str(), kListedComponent);
      }
    }
    if (perQueryListingOn_) {
      Log(false, "Init: Pfade für alle Komponenten werden bei jeder Abfrage nach <%s> ausgegeben",
          perQueryListingFile_.c_str());
    }
  }
}

void DirectoryLibrary::WriteOneTimeListing() {
  Log(false, "Init: Pfade für %s werden einmalig nach <%s> ausgegeben", kListedComponent,
      oneTimeListingFile_.c_str());
  // Listed as they are: a listing, like every log, makes no folder.
  const std::string component = kListedComponent;
  const std::string prog = GetProgDir(component, false);
  const std::string data = ResolveDataDir(component, false, "Data");
  const std::string konfig = ResolveKonfigDir(component);
  const std::string log = ResolveLogDir(component, false);
  const std::string user = GetKonfigDirCurrentUser(component, false);
  for (const std::string& line : {"Programm <" + prog + ">", "Daten <" + data + ">", "Konfig <" + konfig + ">",
                                  "Log <" + log + ">", "Konfig Benutzer <" + user + ">"}) {
    AppendLine(oneTimeListingFile_, line);
  }
}

bool DirectoryLibrary::ConfigDbActive() {
  Init();
  return configDbActive_;
}

bool DirectoryLibrary::InternalLogOn() {
  Init();
  return internalLogOn_;
}

// ------------------------------------------------------------ internal log

std::string DirectoryLibrary::OwnLogFile(const std::string& registered, const std::string& fileName) {
  // A registered folder is used only when it is the caller's own and no one
  // else can write to it; otherwise the user's own state folder takes the
  // log: it holds home paths, and other users must neither read it nor
  // plant a link or a FIFO in its place.
  const std::optional<struct stat> st = platform::StatNoForeignLinks(registered);
  if (st && S_ISDIR(st->st_mode) && st->st_uid == geteuid() && (st->st_mode & (S_IWGRP | S_IWOTH)) == 0) {
    return platform::WithTrailingSlash(registered) + fileName;
  }
  const std::string state = sources_.folders->Folder(platform::FolderKind::LocalAppDataLow, false);
  return state.empty() ? std::string() : state + "Quandel/Log/" + fileName;
}

void DirectoryLibrary::AppendLine(const std::string& file, const std::string& text) {
  if (file.empty()) return;
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  struct tm t {};
  localtime_r(&tv.tv_sec, &t);
  const std::string line = Printf("%02d.%02d.%04d %02d:%02d:%02d.%03d [%d] [%d] %s\n", t.tm_mday, t.tm_mon + 1,
                                  t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec,
                                  static_cast<int>(tv.tv_usec / 1000), static_cast<int>(getpid()),
                                  static_cast<int>(syscall(SYS_gettid)), text.c_str());
  // The log's folder is made when a line is written, private, and only in a
  // folder of the caller's own. Lines that cannot be written are dropped.
  const std::string folder = file.substr(0, file.rfind('/') + 1);
  // Only into a folder of the caller's own: never another user's, even one
  // the caller can write to (root with another user's HOME).
  if (!platform::BelongsToCaller(folder)) return;
  if (!platform::IsDirectory(folder) && !platform::MakeFolders(folder, 0700, 0700)) return;
  platform::LogLimits limits;
  limits.lockTimeoutMs = kLockWaitMs;
  limits.timeoutMarker = "-----> _InternTrace: Timeout bei WaitForSingleObject, eigentliche Trace-Zeile folgt:";
  platform::AppendToLog(file, line, limits);
}

void DirectoryLibrary::VLog(bool isError, const char* format, va_list args) {
  if (!internalLogOn_) return;
  std::string message = Format(format, args);
  if (message.empty()) return;  // a text that cannot be formatted is dropped
  AppendLine(internalLogFile_, std::string(isError ? "ERROR" : "INFO") + " - " + message);
}

void DirectoryLibrary::Log(bool isError, const char* format, ...) {
  if (!internalLogOn_) return;
  va_list args;
  va_start(args, format);
  VLog(isError, format, args);
  va_end(args);
}

void DirectoryLibrary::Listing(const char* format, ...) {
  if (!perQueryListingOn_) return;
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  AppendLine(perQueryListingFile_, text);
}

// ----------------------------------------------------------------- sources

std::string DirectoryLibrary::ReadRegistryString(const std::string& key, const char* name) {
  auto value = sources_.registry->ReadString(key, name);
  // Values are read into 260 bytes; a longer one does not fit and is unread.
  if (!value || value->size() > kMaxPath || value->find('\0') != std::string::npos) return {};
  return *value;
}

std::string DirectoryLibrary::MakeRelativeDir(const std::string& component, const std::string& kind) const {
  std::string second = component;
  if (kind == "Konfig" && component == kThisComponent) second = "KeloCompact";
  if (kind == "Log" && IsPackageComponent(component)) second = "Kelo";
  return "Quandel/" + kind + "/" + second + "/";
}

std::string DirectoryLibrary::GetHighestVersionKey(const std::string& versionsKey) {
  double best = 1.0;
  std::string bestName = "1.0";
  for (const std::string& name : sources_.registry->SubKeys(versionsKey)) {
    // Read with the C locale's rules whatever the process locale: "2.10"
    // must not read as 2.1 under a locale whose decimal point is ','.
    double v = 0;
    std::from_chars(name.data(), name.data() + name.size(), v);
    if (v > 0 && v > best) {
      best = v;
      bestName = name;
    }
  }
  return "\\" + bestName;
}

std::string DirectoryLibrary::GetKonfigDirFromRegistry(const std::string& component) {
  if (component == kThisComponent) return {};
  const std::string versions = "SOFTWARE\\QUANDELeg\\Components\\" + component + "\\Versions";
  return ReadRegistryString(versions + GetHighestVersionKey(versions) + "\\ConfigDir", "");
}

std::string DirectoryLibrary::GetLogDirFromRegistry(const std::string& component) {
  if (component == kThisComponent) return {};
  const std::string versions = "SOFTWARE\\QUANDELeg\\Components\\" + component + "\\Versions";
  return ReadRegistryString(versions + GetHighestVersionKey(versions) + "\\LogDir", "");
}

std::string DirectoryLibrary::GetDataDirFromRegistry(const std::string& component, const std::string& category) {
  if (component == kThisComponent) return {};
  return ReadRegistryString(
      "SOFTWARE\\QUANDELeg\\Components\\" + component + "\\AvailableDataDirectories\\" + category + "\\Dir1", "");
}

std::string DirectoryLibrary::GetProgDirFromRegistry(const std::string& component) {
  if (component == kThisComponent) return ReadRegistryString(kPackageKey, "ProgKey");
  const std::string versions = "SOFTWARE\\QUANDELeg\\Components\\" + component + "\\Versions";
  const std::string key = versions + GetHighestVersionKey(versions) + "\\ProtectedDirectories";
  std::string fixed = ReadRegistryString(key, "FixedProgDir");
  std::string prog = ReadRegistryString(key, "ProgDir");
  if (fixed.empty() && prog.empty()) return {};
  return platform::WithTrailingSlash(fixed) + prog;
}

std::string DirectoryLibrary::GetSystemDirFromRegistry() {
  return ReadRegistryString("Software\\Quandeleg\\ProtectedDirectories", "SystemDir");
}

std::string DirectoryLibrary::GetModuleDir(bool hostExecutable) {
  Init();
  return hostExecutable ? sources_.executableDir : sources_.thisModuleDir;
}

std::string DirectoryLibrary::GetThisDllDir() {
  Init();
  std::string dir = platform::WithTrailingSlash(sources_.thisModuleDir);
  if (dir.empty()) {
    Log(true, "CDB_GetThisDllDir: GetModuleHandleEx lieferte Fehler, kein thisDllDir ermittelbar, Fehler <%d>",
        errno);
    return {};
  }
  Log(false, "CDB_GetThisDllDir: Ermittelter Pfad <%s>.", dir.c_str());
  return dir;
}

std::string DirectoryLibrary::GetSpecialFolderPath(int kind, bool create) {
  Init();
  using platform::FolderKind;
  if (kind < 0 || kind > 5) {
    Log(true, "CDB_GetSpecialFolderPath: Falscher ConfigDBDirType <%d> wurde übergeben!", kind);
    return {};
  }
  static constexpr FolderKind kFirst[] = {FolderKind::LocalAppDataLow, FolderKind::LocalAppData,
                                          FolderKind::RoamingAppData,  FolderKind::ProgramData,
                                          FolderKind::ProgramFiles,    FolderKind::ProgramFiles};
  static constexpr FolderKind kRetry[] = {FolderKind::LocalAppDataLow, FolderKind::LocalAppData,
                                          FolderKind::RoamingAppData,  FolderKind::ProgramData,
                                          FolderKind::ProgramData,     FolderKind::ProgramData};
  // Program files are the installation's: looked up, never made by a lookup
  // (a read-only job must leave a machine as it found it); nor is a folder
  // made for a lookup that asks for none.
  create = create && kFirst[kind] != FolderKind::ProgramFiles;
  std::string path = sources_.folders->Folder(kFirst[kind], create);
  if (path.empty()) {
    Log(true, "CDB_GetSpecialFolderPath: Fehler <%d> von SHGetKnownFolderPath - versuche mit "
        "'KF_Flag_Default_Path'", errno);
    path = sources_.folders->Folder(kRetry[kind], create);
    if (path.empty()) Log(true, "CDB_GetSpecialFolderPath: Fehler <%d> von SHGetKnownFolderPath", errno);
  }
  return platform::WithTrailingSlash(path);
}

std::string DirectoryLibrary::GetTempDir(bool create) {
  Init();
  std::string temp = sources_.folders->TempDir(create);
  Log(false, "CBD_GetTempDir: Temporärer Pfad = \"%s\"", temp.c_str());
  return temp;
}

std::string DirectoryLibrary::GetTempDirLow(bool create) {
  std::string temp = GetTempDir(create);
  if (temp.empty()) {
    Log(true, "CBD_GetTempDir: Das private temporäre Verzeichnis ist nicht sicher oder fehlt - es wird nicht verwendet.");
    return {};
  }
  if (temp.find("/Low") == std::string::npos) temp = platform::WithTrailingSlash(temp) + "Low/";
  return temp;
}

std::string DirectoryLibrary::TempFallback(const std::string& component, const char* kind, bool create) {
  const std::string low = GetTempDirLow(create);
  return low.empty() ? std::string() : low + MakeRelativeDir(component, kind);
}

std::string DirectoryLibrary::ValueFromConfigDb(const std::string& component, int kind) {
  if (IniConfigDb::KeyOfKind(kind) == nullptr) {
    Log(true, "_GetValueFromConfigDb: Unbekannter Value-Typ <%d>!", kind);
    return {};
  }
  std::string value = sources_.configDb != nullptr ? sources_.configDb->Value(component, kind) : std::string();
  if (value.size() > kMaxPath) value.clear();
  if (!value.empty()) {
    Log(false, "_GetValueFromConfigDb: Via ConfigDB ermittelter Wert <%s>", value.c_str());
    // Directory kinds carry a trailing separator; versions do not.
    if (kind <= 3 || kind == 10) value = platform::WithTrailingSlash(value);
  }
  return value;
}

std::string DirectoryLibrary::ActiveDataDirFromConfigDb(const std::string& component, const std::string& category) {
  std::string dir =
      sources_.configDb != nullptr ? sources_.configDb->ActiveDataDir(component, category) : std::string();
  if (dir.size() > kMaxPath) dir.clear();
  if (!dir.empty()) {
    dir = platform::WithTrailingSlash(dir);
    Log(false, "_GetActiveDataDirFromConfigDb: Via ConfigDB Datenverzeichnis <%s>!", dir.c_str());
  }
  return dir;
}

bool DirectoryLibrary::CreateDirectory(const std::string& path) {
  Init();
  if (path.empty()) {
    Log(true, "CDB_CreateDirectory: Kein Pfad übergeben!");
    return false;
  }
  if (platform::IsDirectory(path)) return true;
  if (Exists(path)) {
    Log(true, "_CreateDirectory: Angeforderter Pfad ist eine Datei (<%s>)", path.c_str());
    errno = EEXIST;
  } else if (platform::MakeDirectories(path)) {
    Log(false, "CDB_CreateDirectory: Verzeichnis <%s> wurde angelegt", path.c_str());
    return true;
  }
  Log(true, "CDB_CreateDirectory: Fehler <%d> beim Anlegen des Verzeichnisses <%s>!", errno, path.c_str());
  return false;
}

bool DirectoryLibrary::IsQuandelEnvironment(const std::string& component) {
  if (!Exists(ResolveSystemDir(1))) return false;
  if (component.empty()) return true;
  const std::string prog = GetProgDir(component, false);
  return !prog.empty() && prog.find(component) != std::string::npos;
}

// Moves a Windows-style drive path onto the program directory's drive. Linux
// paths have no drive letter, so this only acts on "X:" paths.
void DirectoryLibrary::MoveToProgramDrive(std::string& path, const std::string& component) {
  const std::string prog = GetProgDir(component, false);
  auto isDrivePath = [](const std::string& p) { return p.size() >= 2 && p[1] == ':'; };
  if (prog.empty() || path.empty() || !isDrivePath(path) || !isDrivePath(prog)) return;
  if (LowerAscii(path[0]) == LowerAscii(prog[0])) return;
  path[0] = LowerAscii(prog[0]);
  CreateDirectory(path);
}

// ------------------------------------------------------------- resolutions

std::string DirectoryLibrary::ResolveDataDir(const std::string& component, bool create, const std::string& category) {
  std::string result;
  if (!configDbActive_) {
    Log(false, "CDB_GetDataDir: Zugriff auf ConfigDB ist abgeschaltet, Alternativen werden verwendet");
  } else {
    result = ActiveDataDirFromConfigDb(component, category);
    if (!Exists(result) && create) {
      Log(false, "CDB_GetDataDir: Kein gültiges Datenverzeichnis von ConfigDB erhalten");
      if (result.empty()) {
        Log(false, "CDB_GetDataDir: Datenpfadname (available) via ConfigDB nicht ermittelbar!");
      } else {
        Log(false, "CDB_GetDataDir: Versuchen Datenpfad \"%s\" anzulegen.", result.c_str());
        CreateDirectory(result);
      }
    }
  }
  if (!Exists(result)) {
    result = GuessLocalDataDir(component, category, create);
    Log(false, "CDB_GetDataDir: Lokales Datenverzeichnis über Alternative ermittelt: \"%s\"", result.c_str());
  }
  result = platform::WithTrailingSlash(result);
  if (Exists(result)) {
    Log(false, "CDB_GetDataDir: Datenpfad <%s> = \"%s\"", component.c_str(), result.c_str());
  } else {
    Log(true, "CDB_GetDataDir: Konnten keinen Datenpfad für <%s> ermitteln!", component.c_str());
  }
  Listing("%s Daten <%s>", component.c_str(), result.c_str());
  return result;
}

std::string DirectoryLibrary::GuessLocalDataDir(const std::string& component, const std::string& category,
                                                bool create) {
  std::string result = GetDataDirFromRegistry(component, category);
  if (!result.empty()) {
    Log(false, "_GuessLocalDataDir: Datenpfad <%s> über Registry ermittelt.", result.c_str());
    if (Exists(result)) return result;
    if (create) {
      Log(false, "_GuessLocalDataDir: Versuchen Datenpfad \"%s\" anzulegen.", result.c_str());
      CreateDirectory(result);
      if (!Exists(result)) MoveToProgramDrive(result, component);
    }
  }
  if (Exists(result)) return result;

  auto appendCategory = [&] {
    if (!category.empty() && Exists(result)) {
      result = platform::WithTrailingSlash(result) + category + "/";
      if (!Exists(result) && create) CreateDirectory(result);
    }
  };
  if (!IsQuandelEnvironment(component)) {
    Log(false, "_GuessLocalDataDir: Keine Quandel-Umgebung, nehmen ProgrammData-Verzeichnis.");
    std::string folder = GetSpecialFolderPath(3, create);
    if (!folder.empty()) {
      result = folder + MakeRelativeDir(component, "Daten");
      if (!Exists(result) && create) CreateDirectory(result);
      appendCategory();
      if (Exists(result)) return result;
    }
  }
  if (create) {
    Log(false, "_GuessLocalDataDir: Immer noch kein Daten-Verzeichnis, versuchen es mit TempDirLow + QuandelPfad.");
    result = TempFallback(component, "Daten", create);
    if (!Exists(result)) CreateDirectory(result);
    appendCategory();
  }
  return result;
}

std::string DirectoryLibrary::ResolveKonfigDir(const std::string& component) {
  std::string result;
  if (configDbActive_) {
    result = ValueFromConfigDb(component, 1);
  } else {
    Log(false, "CDB_GetKonfigDir: Zugriff auf ConfigDB ist abgeschaltet, Alternativen werden verwendet");
  }
  if (!Exists(result)) {
    if (configDbActive_) {
      if (!result.empty()) {
        Log(false, "CDB_GetKonfigDir: KonfigPfad via ConfigDB existiert nicht: \"%s\"", result.c_str());
      } else {
        Log(false, "CDB_GetKonfigDir: Via ConfigDB kein KonfigPfad ermittelbar.");
      }
    }
    result = GuessLocalKonfigDir(component);
    Log(false, "CDB_GetKonfigDir: KonfigPfad über Alternative ermittelt: \"%s\"", result.c_str());
  }
  if (!Exists(result)) {
    if (!result.empty()) {
      Log(false, "CDB_GetKonfigDir: KonfigPfad via Registry existiert nicht: \"%s\"", result.c_str());
    } else {
      Log(false, "CDB_GetKonfigDir: Via Registry kein KonfigPfad ermittelbar.");
    }
    result = GetModuleDir(false);
  }
  result = platform::WithTrailingSlash(result);
  if (Exists(result)) {
    Log(false, "CDB_GetKonfigDir: KonfigPfad <%s> = \"%s\"", component.c_str(), result.c_str());
  } else {
    Log(true, "CDB_GetKonfigDir: Konnten keinen KonfigPfad für <%s> ermitteln!", component.c_str());
  }
  Listing("%s Konfig <%s>", component.c_str(), result.c_str());
  return result;
}

std::string DirectoryLibrary::GuessLocalKonfigDir(const std::string& component) {
  std::string result = GetKonfigDirFromRegistry(component);
  if (!result.empty()) {
    Log(false, "_GuessLocalKonfigDir: Konfigpfad <%s> über Registry ermittelt.", result.c_str());
    if (Exists(result)) return result;
    result.clear();
  }
  if (!IsQuandelEnvironment(component)) {
    Log(false, "_GuessLocalKonfigDir: Keine Quandel-Umgebung, nehmen ProgrammData-Verzeichnis.");
    std::string folder = GetSpecialFolderPath(4);
    if (Exists(folder)) {
      result = folder + MakeRelativeDir(component, "Konfig");
      if (!Exists(result)) {
        Log(true, "_GuessLocalKonfigDir: Verzeichnis <%s> ist nicht vorhanden!", result.c_str());
        result.clear();
      }
    }
    if (Exists(result)) return result;
  }
  Log(false, "_GuessLocalKonfigDir: Immer noch kein Konfig-Verzeichnis, nehmen jetzt das Programmverzeichnis.");
  result = GetProgDir(component, false);
  if (!Exists(result)) {
    Log(true, "_GuessLocalKonfigDir: Verzeichnis <%s> ist nicht vorhanden!", result.c_str());
    return {};
  }
  return result;
}

std::string DirectoryLibrary::ResolveLogDir(const std::string& component, bool create) {
  std::string result;
  const int32_t os = GetOsVersion();
  if (configDbActive_ && os >= 1 && os <= 6) {
    result = ValueFromConfigDb(component, 2);
    if (!Exists(result)) {
      if (!result.empty()) {
        Log(false, "CDB_GetLogDir: LogPfad via ConfigDB existiert nicht: \"%s\"", result.c_str());
        if (create) {
          Log(false, "CDB_GetLogDir: Versuchen Logpfad \"%s\" anzulegen.", result.c_str());
          CreateDirectory(result);
        }
      } else {
        Log(false, "CDB_GetLogDir: Via ConfigDB kein LogPfad ermittelbar.");
      }
    }
  } else {
    Log(false, "CDB_GetLogDir: Zugriff auf ConfigDB ist abgeschaltet, Alternativen werden verwendet");
  }
  if (!Exists(result) && alternativeLogDirOn_ && component == kListedComponent) result = alternativeLogDir_;
  if (!Exists(result)) {
    result = GuessLocalLogDir(component, create);
    Log(false, "CDB_GetLogDir: Lokales Logverzeichnis über Alternative ermittelt: \"%s\"", result.c_str());
  }
  result = platform::WithTrailingSlash(result);
  if (Exists(result)) {
    Log(false, "CDB_GetLogDir: LogPfad <%s> = \"%s\"", component.c_str(), result.c_str());
  } else {
    Log(true, "CDB_GetLogDir: Konnten keinen LogPfad für <%s> ermitteln!", component.c_str());
  }
  Listing("%s Log <%s>", component.c_str(), result.c_str());
  return result;
}

std::string DirectoryLibrary::GuessLocalLogDir(const std::string& component, bool create) {
  std::string result = GetSpecialFolderPath(0, create);
  if (!result.empty()) {
    result += MakeRelativeDir(component, "Log");
    Log(false, "_GuessLocalLogDir: Benutzerspezifischer Logpfad <%s>", result.c_str());
    if (!Exists(result) && create) {
      Log(false, "_GuessLocalLogDir: Versuchen Logpfad \"%s\" anzulegen.", result.c_str());
      CreateDirectory(result);
    }
    if (Exists(result)) return result;
  }
  result = GetLogDirFromRegistry(component);
  Log(false, "_GuessLocalLogDir: Logpfad <%s> über Registry ermittelt.", result.c_str());
  if (Exists(result) || !create) return result;
  if (!result.empty()) {
    Log(false, "_GuessLocalLogDir: Versuchen Logpfad \"%s\" anzulegen.", result.c_str());
    CreateDirectory(result);
    if (!Exists(result)) MoveToProgramDrive(result, component);
  }
  if (!Exists(result)) {
    Log(false, "_GuessLocalLogDir: Immer noch kein Log-Verzeichnis, versuchen es mit TempDir + QuandelPfad");
    result = TempFallback(component, "Log", create);
    CreateDirectory(result);
  }
  return result;
}

std::string DirectoryLibrary::GetProgDir(const std::string& component, bool withDefault) {
  Init();
  std::string result;
  if (configDbActive_) {
    result = ValueFromConfigDb(component, 3);
    if (!Exists(result)) {
      if (!result.empty()) {
        Log(false, "CDB_GetProgDir: Programmpfad via ConfigDB existiert nicht: \"%s\"", result.c_str());
      } else {
        Log(false, "CDB_GetProgDir: Via ConfigDB kein Programmpfad ermittelbar.");
      }
    }
  } else {
    Log(false, "CDB_GetProgDir: Zugriff auf ConfigDB ist abgeschaltet, Alternativen werden verwendet");
  }
  if (!Exists(result)) {
    if (!configDbActive_ || !withDefault) result = GetProgDirFromRegistry(component);
    Log(false, "CDB_GetProgDir: Programmpfad <%s> über Registry ermittelt.", result.c_str());
  }
  if (!Exists(result)) {
    if (!result.empty()) {
      Log(false, "CDB_GetProgDir: Programmpfad via Registry existiert nicht: \"%s\"", result.c_str());
    } else {
      Log(false, "CDB_GetProgDir: Via Registry kein Programmpfad ermittelbar.");
    }
    std::string folder;
    if (withDefault && component == kThisComponent && !(folder = GetSpecialFolderPath(5)).empty()) {
      result = folder + "QUANDEL/PROGRAMM/KeloCompacT";
      Log(false, "CDB_GetProgDir: Default Programmpfad eingestellt.");
    } else {
      result = GetModuleDir(false);
    }
  }
  result = platform::WithTrailingSlash(result);
  if (Exists(result)) {
    Log(false, "CDB_GetProgDir: Programmpfad <%s> = \"%s\"", component.c_str(), result.c_str());
  } else {
    Log(true, "CDB_GetProgDir: Konnten keinen Programmpfad für <%s> ermitteln!", component.c_str());
  }
  Listing("%s Programm <%s>", component.c_str(), result.c_str());
  return result;
}

std::string DirectoryLibrary::ResolveSystemDir(int32_t mode) {
  std::string result;
  if (mode != 1) {
    result = GetProgDirFromRegistry(kThisComponent);
  } else {
    if (configDbActive_) {
      result = sources_.configDb != nullptr ? sources_.configDb->SystemPath() : std::string();
      if (result.size() > kMaxPath) result.clear();
      if (!result.empty()) Log(false, "CDB_GetSystemDir: Via ConfigDB Quandel-Systempfad <%s>!", result.c_str());
    } else {
      Log(false, "CDB_GetSystenDir: Zugriff auf ConfigDB ist abgeschaltet, Alternativen werden verwendet");
    }
    if (!Exists(result)) {
      result = GetSystemDirFromRegistry();
      Log(false, "CDB_GetSystemDir: Quandel-Systempfad <%s> über Registry ermittelt.", result.c_str());
    }
  }
  if (!Exists(result)) result = GetModuleDir(false);
  result = platform::WithTrailingSlash(result);
  if (Exists(result)) {
    Log(false, "CDB_GetSystemDir: Systempfad = \"%s\"", result.c_str());
  } else {
    Log(true, "CDB_GetSystemDir: Konnten keinen Systempfad ermitteln!");
  }
  return result;
}

std::string DirectoryLibrary::GetKonfigDirCurrentUser(const std::string& component, bool create) {
  Init();
  const char* prefix = "CDB_GetKonfigDirCurrentUser: ";
  std::string result;
  if (configDbActive_) {
    result = ValueFromConfigDb(component, 10);
    if (result.empty()) {
      Log(false, "%sVia ConfigDB kein KonfigPfad des Benutzers ermittelbar.", prefix);
    } else if (!Exists(result)) {
      Log(false, "%sKonfigPfad des Benutzers via ConfigDB existiert nicht: \"%s\"", prefix, result.c_str());
      if (create) {
        Log(false, "%sVersuchen KonfigPfad des Benutzers \"%s\" anzulegen.", prefix, result.c_str());
        CreateDirectory(result);
      }
    }
  } else {
    Log(false, "%sZugriff auf ConfigDB ist abgeschaltet, Alternativen werden verwendet", prefix);
  }
  if (!Exists(result)) {
    result = GuessLocalUserKonfigDir(component, create);
    Log(false, "%sLokales Konfigverzeichnis über Alternative ermittelt: \"%s\"", prefix, result.c_str());
  }
  result = platform::WithTrailingSlash(result);
  if (Exists(result)) {
    Log(false, "%sKonfigPfad des Benutzers <%s> = \"%s\"", prefix, component.c_str(), result.c_str());
  } else {
    Log(true, "%skonnten keinen KonfigPfad des Benutzers für <%s> ermitteln!", prefix, component.c_str());
  }
  Listing("%s Konfig des Benutzers <%s>", component.c_str(), result.c_str());
  return result;
}

std::string DirectoryLibrary::GuessLocalUserKonfigDir(const std::string& component, bool create) {
  std::string result = GetSpecialFolderPath(2, create);
  if (!result.empty()) {
    result += MakeRelativeDir(component, "Konfig");
    Log(false, "_GuessLocalUserKonfigDir: Benutzerspezifischer Konfigpfad <%s>", result.c_str());
    if (!Exists(result) && create) {
      Log(false, "_GuessLocalUserKonfigDir: Versuchen Konfigpfad \"%s\" anzulegen.", result.c_str());
      CreateDirectory(result);
    }
    if (Exists(result)) return result;
  }
  Log(false, "_GuessLocalUserKonfigDir: Immer noch kein Konfig-Verzeichnis, versuchen es mit TempDir + QuandelPfad");
  result = TempFallback(component, "Konfig", create);
  if (create) CreateDirectory(result);
  return result;
}

// ------------------------------------------------------ buffer operations

int32_t DirectoryLibrary::DeliverDirectory(const std::string& path, char* dir, int32_t dirSize,
                                           const DirectoryTexts& texts) {
  if (!Exists(path)) {
    if (path.empty()) {
      Log(true, "%s", texts.notDetermined);
    } else {
      Log(true, texts.notExisting, path.c_str());
    }
    return kResultNotFound;
  }
  const int32_t rc = Deliver(path, dir, dirSize);
  if (rc == kResultBufferTooSmall) Log(true, texts.tooSmall, dirSize, static_cast<int>(path.size()));
  return rc;
}

int32_t DirectoryLibrary::GetDataDir(const char* component, char* dir, int32_t dirSize, bool create,
                                     const char* category, const char* version) {
  Init();
  if (dir == nullptr || component == nullptr || category == nullptr || version == nullptr) {
    Log(true,
        "CDB_GetDataDir: Mindestens ein Parameter ist NULL: pszDir <%s>, pszCompID <%s>, pszDataCategory <%s>, "
        "pszDataVersion <%s>!",
        OrNull(dir, "..."), OrNull(component, component ? component : ""), OrNull(category, category ? category : ""),
        OrNull(version, version ? version : ""));
    if (dir != nullptr && dirSize > 0) dir[0] = '\0';
    return kResultNullArgument;
  }
  if (dirSize > 0) dir[0] = '\0';
  static constexpr DirectoryTexts kTexts = {
      "CDB_GetDataDir: Das Daten-Verzeichnis <%s> existiert nicht",
      "CDB_GetDataDir: Das Daten-Verzeichnis konnte nicht ermittelt werden",
      "CDB_GetDataDir: Länge <%d> von pszDir ist zu klein, benötigte Länge <%d> "};
  return DeliverDirectory(ResolveDataDir(component, create, category), dir, dirSize, kTexts);
}

int32_t DirectoryLibrary::GetKonfigDir(const char* component, char* dir, int32_t dirSize) {
  Init();
  if (dir == nullptr || component == nullptr) {
    Log(true, "CDB_GetKonfigDir: Mindestens ein Parameter ist NULL: pszDir <%s>, pszCompID <%s>!",
        OrNull(dir, "..."), OrNull(component, component ? component : ""));
    if (dir != nullptr && dirSize > 0) dir[0] = '\0';
    return kResultNullArgument;
  }
  if (dirSize > 0) dir[0] = '\0';
  static constexpr DirectoryTexts kTexts = {
      "CDB_GetKonfigDir: Das Konfig-Verzeichnis <%s> existiert nicht",
      "CDB_GetKonfigDir: Das Konfig-Verzeichnis konnte nicht ermittelt werden",
      "CDB_GetKonfigDir: Länge <%d> von pszDir ist zu klein, benötigte Länge <%d> "};
  return DeliverDirectory(ResolveKonfigDir(component), dir, dirSize, kTexts);
}

int32_t DirectoryLibrary::GetLogDir(const wchar_t* component, wchar_t* dir, int32_t dirSize, bool create) {
  Init();
  if (dir == nullptr || component == nullptr) {
    Log(true, "CDB_GetLogDir: Mindestens ein Parameter ist NULL: pszDir <%s>, pszCompID <%s>!",
        OrNull(dir, "..."), OrNull(component, "..."));
    if (dir != nullptr && dirSize > 0) dir[0] = L'\0';
    return kResultNullArgument;
  }
  if (dirSize > 0) dir[0] = L'\0';
  std::string narrowComponent;
  for (const wchar_t* p = component; *p != L'\0'; ++p) {
    narrowComponent.push_back(static_cast<char>(static_cast<unsigned>(*p) & 0xFF));
  }
  const std::string path = ResolveLogDir(narrowComponent, create);
  if (!Exists(path)) {
    if (path.empty()) {
      Log(true, "CDB_GetLogDir: Das Log-Verzeichnis konnte nicht ermittelt werden");
    } else {
      Log(true, "CDB_GetLogDir: Das Log-Verzeichnis <%s> existiert nicht", path.c_str());
    }
    return kResultNotFound;
  }
  const auto exact = platform::Utf8ToWideExact(path);
  if (!exact) {
    Log(true, "CDB_GetLogDir: Das Log-Verzeichnis <%s> ist nicht als Unicode darstellbar", path.c_str());
    return kResultNotFound;
  }
  const std::wstring& wide = *exact;
  if (dirSize <= 0 || static_cast<size_t>(dirSize) <= wide.size()) {
    Log(true, "CDB_GetLogDir: Länge <%d> von pszDir ist zu klein, benötigte Länge <%d> ", dirSize,
        static_cast<int>(wide.size()));
    return kResultBufferTooSmall;
  }
  std::wmemcpy(dir, wide.c_str(), wide.size() + 1);
  return kResultOk;
}

int32_t DirectoryLibrary::GetSystemDir(char* dir, int32_t dirSize, int32_t mode) {
  Init();
  if (dir == nullptr) {
    Log(true, "CDB_GetSystemDir: pszDir ist NULL!");
    return kResultNullArgument;
  }
  if (dirSize > 0) dir[0] = '\0';
  static constexpr DirectoryTexts kTexts = {
      "CDB_GetSystemDir: Das System-Verzeichnis <%s> existiert nicht",
      "CDB_GetSystemDir: Das System-Verzeichnis konnte nicht ermittelt werden",
      "CDB_GetSystemDir: Länge <%d> von pszDir ist zu klein, benötigte Länge <%d> "};
  return DeliverDirectory(ResolveSystemDir(mode), dir, dirSize, kTexts);
}

// --------------------------------------------------------------- versions

std::string DirectoryLibrary::ComponentVersion(const std::string& component, int32_t type) {
  std::string key;
  const bool packageType = type == 1 || type == 3 || type == 5;
  if (component == kThisComponent) {
    if (packageType) return {};
    key = kPackageKey;
  } else {
    const std::string versions =
        std::string(packageType ? "SOFTWARE\\QUANDELeg\\Packages\\" : "SOFTWARE\\QUANDELeg\\Components\\") +
        component + "\\Versions";
    key = versions + GetHighestVersionKey(versions);
  }
  auto build = [&] { return sources_.registry->ReadDword(key, "BuildNumber").value_or(0); };
  switch (type) {
    case 0:
    case 1: {
      std::string v = ReadRegistryString(key, "CompVersion");
      if (!v.empty()) v += "." + std::to_string(build());
      return v;
    }
    case 2:
    case 3:
      return ReadRegistryString(key, "CompVersion");
    case 4:
    case 5:
      return std::to_string(build());
    case 6:
      return ReadRegistryString(key, "FileVersion");
    default:
      return {};
  }
}

int32_t DirectoryLibrary::GetVersion(const char* component, char* version, int32_t versionSize, int32_t type) {
  Init();
  if (version == nullptr || component == nullptr) {
    Log(true, "CDB_GetVersion: Mindestens ein Parameter ist NULL: pszVersion <%s>, pszCompID <%s>!",
        OrNull(version, "..."), OrNull(component, component ? component : ""));
    return kResultNullArgument;
  }
  if (versionSize > 0) version[0] = '\0';
  std::string result;
  if (configDbActive_ && type >= 0 && type <= 5) result = ValueFromConfigDb(component, type + 4);
  if (result.empty()) {
    Log(false, "CDB_GetVersion: Via ConfigDB keine Version ermittelbar.");
    result = ComponentVersion(component, type);
    Log(false, "CDB_GetVersion: Version <%s> über Registry ermittelt.", result.c_str());
    if (result.empty()) Log(false, "CDB_GetVersion: Via Registry keine Version ermittelbar.");
  }
  if (result.empty()) {
    Log(true, "CDB_GetVersion: Die Version der Komponente <%s> konnte nicht ermittelt werden", component);
    return kResultNoVersion;
  }
  if (versionSize <= 0 || static_cast<size_t>(versionSize) <= result.size()) {
    Log(true, "CDB_GetVersion: Länge <%d> von pszVersion ist zu klein, benötigte Länge <%d>", versionSize,
        static_cast<int>(result.size()));
    return kResultBufferTooSmall;
  }
  std::memcpy(version, result.c_str(), result.size() + 1);
  return kResultOk;
}

bool DirectoryLibrary::GetFileVersionFromFile(const wchar_t* path, uint32_t* major, uint32_t* minor,
                                              uint32_t* build, uint32_t* revision) {
  Init();
  const std::string narrow = path != nullptr ? platform::WideToUtf8Exact(path).value_or(std::string()) : std::string();
  if (!Exists(narrow)) {
    Log(true, "_GetFileVersionFromFile: Der Dateiname <%s> existiert nicht!", narrow.c_str());
    return false;
  }
  platform::VersionNoteError error = platform::VersionNoteError::None;
  auto version = platform::ReadFileVersion(narrow, &error);
  if (!version) {
    Log(true, "_GetFileVersionFromFile: GetLastError <%d>, die FileVersionInfoSize konnte nicht ermittelt werden!",
        static_cast<int>(error));
    return false;
  }
  if (major != nullptr) *major = version->parts[0];
  if (minor != nullptr) *minor = version->parts[1];
  if (build != nullptr) *build = version->parts[2];
  if (revision != nullptr) *revision = version->parts[3];
  return true;
}

std::wstring DirectoryLibrary::GetOsBuildNr(const wchar_t* path) {
  Init();
  uint32_t v[4] = {};
  if (!GetFileVersionFromFile(path, &v[0], &v[1], &v[2], &v[3])) {
    Log(true, "CDB_GetOsBuildNr: Die BuildNr konnte nicht ermittelt werden!");
    return L"0.0.0.0";
  }
  Log(false, "_GetFileVersionFromFile: <%u><%u><%u><%u>", v[0], v[1], v[2], v[3]);
  return platform::Utf8ToWide(Printf("%u.%u.%u.%u", v[0], v[1], v[2], v[3]));
}

int32_t DirectoryLibrary::GetOsVersion() {
  // This platform has no version record of that family: the code is 0.
  return 0;
}

// ------------------------------------------------------------ free functions

int32_t CDB_GetDataDir(const char* component, char* dir, int32_t dirSize, bool create, const char* category,
                       const char* version) {
  return DirectoryLibrary::Instance().GetDataDir(component, dir, dirSize, create, category, version);
}
int32_t CDB_GetKonfigDir(const char* component, char* dir, int32_t dirSize) {
  return DirectoryLibrary::Instance().GetKonfigDir(component, dir, dirSize);
}
int32_t CDB_GetLogDir(const wchar_t* component, wchar_t* dir, int32_t dirSize, bool create) {
  return DirectoryLibrary::Instance().GetLogDir(component, dir, dirSize, create);
}
int32_t CDB_GetSystemDir(char* dir, int32_t dirSize, int32_t mode) {
  return DirectoryLibrary::Instance().GetSystemDir(dir, dirSize, mode);
}
int32_t CDB_GetVersion(const char* component, char* version, int32_t versionSize, int32_t type) {
  return DirectoryLibrary::Instance().GetVersion(component, version, versionSize, type);
}
std::string CDB_GetProgDir(const std::string& component, bool withDefault) {
  return DirectoryLibrary::Instance().GetProgDir(component, withDefault);
}
std::string CDB_GetThisDllDir() { return DirectoryLibrary::Instance().GetThisDllDir(); }
bool CDB_CreateDirectory(const std::string& path) { return DirectoryLibrary::Instance().CreateDirectory(path); }
std::wstring CDB_GetOsBuildNr(const wchar_t* path) { return DirectoryLibrary::Instance().GetOsBuildNr(path); }
int32_t CDB_GetOsVersion() { return DirectoryLibrary::Instance().GetOsVersion(); }

std::string ComponentLogDirectory() {
  wchar_t dir[261] = {};
  if (CDB_GetLogDir(L"P4100002", dir, 261, false) != kResultOk) return {};
  std::string narrow = platform::WideToUtf8Exact(dir).value_or("");
  if (!narrow.empty() && narrow.back() != '/') narrow.push_back('/');
  return narrow;
}

}  // namespace rimo::config
